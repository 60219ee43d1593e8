#pragma once
// The process's file descriptors used up but `spare` of them, as a start
// among many open files meets them, until the guard goes.

#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

class DescriptorsUsedUp {
public:
    explicit DescriptorsUsedUp(int spare) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lower = saved_;
        lower.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 256); // few to take
        ::setrlimit(RLIMIT_NOFILE, &lower);
        for (int fd = 0; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
            held_.push_back(fd);
        }
        for (; spare > 0 && !held_.empty(); --spare, held_.pop_back()) {
            ::close(held_.back());
        }
    }
    ~DescriptorsUsedUp() {
        std::for_each(held_.begin(), held_.end(), ::close);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    DescriptorsUsedUp(const DescriptorsUsedUp &) = delete;
    DescriptorsUsedUp &operator=(const DescriptorsUsedUp &) = delete;

private:
    rlimit saved_{};
    std::vector<int> held_;
};
