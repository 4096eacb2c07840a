// Runs a fuzz target over the files named on the command line, once each, in
// an ordinary build: the regression tests replay every committed input this
// way.  A huge allocation fails here instead of taking the machine: through
// the sanitizer's options, or without it through a limited address space.
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <vector>

#include "core/io.hpp"
#include "support.hpp"

// Under AddressSanitizer a huge allocation is a report, and so is a process
// that grows past 2 GiB.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=2048:hard_rss_limit_mb=2048"; }

int main(int argc, char** argv) {
#if !defined(__SANITIZE_ADDRESS__)
    const rlimit address_space{rlim_t(2) << 30, rlim_t(2) << 30};
    setrlimit(RLIMIT_AS, &address_space);
#endif
    const rlimit file_size{rlim_t(1) << 30, rlim_t(1) << 30};
    setrlimit(RLIMIT_FSIZE, &file_size);
    std::signal(SIGXFSZ, SIG_IGN);
    for (int i = 1; i < argc; ++i) {
        auto bytes = core::read_file(argv[i]);
        if (!bytes) {
            std::fprintf(stderr, "%s: %s\n", argv[i], bytes.error().message().c_str());
            return 2;
        }
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", argv[i], bytes->size());
        LLVMFuzzerTestOneInput(bytes->data(), bytes->size());
    }
    return 0;
}
