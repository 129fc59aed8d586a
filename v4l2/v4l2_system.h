// The seam between the V4L2 camera and the kernel: the device calls it makes, with the
// system calls' own conventions (-1 and errno on failure). Tests put a fake device here.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <string>
#include <vector>

class V4l2System {
public:
    virtual ~V4l2System() = default;
    // The /dev/video* nodes, in numeric order.
    virtual std::vector<std::string> deviceNodes();
    // A node's camera as its driver names it (sysfs, so that even a camera we may not open can
    // be named); empty when unknown.
    virtual std::string cardName(const std::string& node);
    virtual int open(const char* path, int flags);
    virtual int close(int fd);
    virtual int ioctl(int fd, unsigned long request, void* argument);
    virtual void* mmap(size_t length, int prot, int flags, int fd, off_t offset);
    virtual int munmap(void* address, size_t length);
    virtual int poll(struct pollfd* fds, nfds_t count, int timeoutMilliseconds);
};

// The system the V4L2 cameras use: the kernel's, unless a test has put its own in place.
V4l2System& v4l2System();
void useV4l2System(V4l2System* system);
