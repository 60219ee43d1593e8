#pragma once
// The process's file descriptors used up, as a start among many open files
// meets them: every open but the spare ones fails with EMFILE until the
// guard goes. The limit is lowered first, so this takes few descriptors.

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
        lower.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 256);
        ::setrlimit(RLIMIT_NOFILE, &lower);
        held_.reserve(256);
        for (int fd = 0; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
            held_.push_back(fd);
        }
        for (int i = 0; i < spare && !held_.empty(); ++i) {
            ::close(held_.back());
            held_.pop_back();
        }
    }
    ~DescriptorsUsedUp() {
        for (const int fd : held_) {
            ::close(fd);
        }
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    DescriptorsUsedUp(const DescriptorsUsedUp &) = delete;
    DescriptorsUsedUp &operator=(const DescriptorsUsedUp &) = delete;

private:
    rlimit saved_{};
    std::vector<int> held_;
};
