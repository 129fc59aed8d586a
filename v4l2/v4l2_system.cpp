#include "v4l2/v4l2_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::vector<std::string> V4l2System::deviceNodes() {
    std::vector<std::pair<long, std::string>> found;
    if (DIR* dev = opendir("/dev")) {
        while (const dirent* entry = readdir(dev)) {
            const char* name = entry->d_name;
            if (std::strncmp(name, "video", 5) != 0 || !name[5]) continue;
            char* end = nullptr;
            const long number = std::strtol(name + 5, &end, 10);
            if (*end) continue;
            found.emplace_back(number, std::string("/dev/") + name);
        }
        closedir(dev);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> nodes;
    for (auto& node : found) nodes.push_back(node.second);
    return nodes;
}

std::string V4l2System::cardName(const std::string& node) {
    const std::string path = "/sys/class/video4linux/" + node.substr(node.rfind('/') + 1) + "/name";
    std::string name;
    if (FILE* file = std::fopen(path.c_str(), "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, file)) name.assign(line, std::strcspn(line, "\n"));
        std::fclose(file);
    }
    return name;
}

int V4l2System::open(const char* path, int flags) { return ::open(path, flags | O_CLOEXEC); }
int V4l2System::close(int fd) { return ::close(fd); }

int V4l2System::ioctl(int fd, unsigned long request, void* argument) {
    int result;
    do result = ::ioctl(fd, request, argument);
    while (result < 0 && errno == EINTR);
    return result;
}

void* V4l2System::mmap(size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(nullptr, length, prot, flags, fd, offset);
}
int V4l2System::munmap(void* address, size_t length) { return ::munmap(address, length); }
int V4l2System::poll(struct pollfd* fds, nfds_t count, int timeoutMilliseconds) {
    return ::poll(fds, count, timeoutMilliseconds);
}

static V4l2System kernel;
static V4l2System* current = &kernel;

V4l2System& v4l2System() { return *current; }
void useV4l2System(V4l2System* system) { current = system ? system : &kernel; }
