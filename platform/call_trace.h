// An optional record of the calls made on the platform's objects, in order, for checking how
// a caller drives the chain ("AddFilter Video Capture", "SetFormat 160x120", ...). Off unless
// a caller sets a list to fill.
#pragma once

#include <string>
#include <vector>

namespace platform {

extern std::vector<std::string>* callTrace;

inline void traceCall(const std::string& call) {
    if (callTrace) callTrace->push_back(call);
}

}  // namespace platform
