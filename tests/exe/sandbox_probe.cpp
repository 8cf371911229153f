// What a command inside `toolchain.sh run --only DIR` can do, tried as a
// hostile one would. Linked statically, so that it runs in the toolchain
// root as it is.
//   sandbox_probe handle PATH OUT    (outside) PATH's file handle, into OUT
//   sandbox_probe inside OUTSIDE HANDLE...
//       (inside) tries to reach OUTSIDE, a file outside DIR, by its path,
//       through /proc and by each HANDLE; to hold or regain a capability;
//       to reach a terminal. One line per try, "closed WHAT" or "OPEN WHAT:
//       how"; exit status 1 when any is open.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <linux/capability.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr unsigned max_handle_bytes = 128;
struct Handle {
    file_handle header;
    unsigned char bytes[max_handle_bytes];
};

int report(bool open, const char* what, const char* how) {
    if (open) {
        std::printf("OPEN %s: %s\n", what, how);
        return 1;
    }
    std::printf("closed %s\n", what);
    return 0;
}

int write_handle(const char* path, const char* out) {
    Handle handle{};
    handle.header.handle_bytes = max_handle_bytes;
    int mount_id = 0;
    if (name_to_handle_at(AT_FDCWD, path, &handle.header, &mount_id, 0) != 0) {
        std::fprintf(stderr, "sandbox_probe: name_to_handle_at %s: %s\n", path, std::strerror(errno));
        return 2;
    }
    FILE* file = std::fopen(out, "wb");
    const size_t size = sizeof handle.header + handle.header.handle_bytes;
    if (file == nullptr || std::fwrite(&handle, 1, size, file) != size || std::fclose(file) != 0) {
        std::fprintf(stderr, "sandbox_probe: cannot write %s\n", out);
        return 2;
    }
    return 0;
}

// Whether the file opened reads as OUTSIDE does: its first byte, at least.
bool reads(int fd) {
    char byte = 0;
    const bool got = fd >= 0 && read(fd, &byte, 1) == 1;
    if (fd >= 0) close(fd);
    return got;
}

int try_path(const char* outside) {
    open_how how{};
    how.flags = O_RDONLY;
    const int by_openat2 = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, outside, &how, sizeof how));
    return report(reads(open(outside, O_RDONLY)), "the outside file by its path", "open() read it") +
           report(reads(by_openat2), "the outside file through openat2", "openat2() read it");
}

int try_proc(const char* outside) {
    DIR* proc = opendir("/proc");
    int open_doors = 0;
    char path[4096];
    for (dirent* entry = proc ? readdir(proc) : nullptr; entry != nullptr; entry = readdir(proc)) {
        for (const char* link : {"root", "cwd"}) {
            std::snprintf(path, sizeof path, "/proc/%s/%s%s", entry->d_name, link, outside);
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' && reads(open(path, O_RDONLY))) {
                open_doors += report(true, "the outside file through /proc", path);
            }
        }
    }
    if (proc != nullptr) closedir(proc);
    return open_doors + (open_doors == 0 ? report(false, "the outside file through /proc/PID/root and cwd", "") : 0);
}

int try_handle(const char* handle_path) {
    Handle handle{};
    FILE* file = std::fopen(handle_path, "rb");
    const size_t got = file ? std::fread(&handle, 1, sizeof handle, file) : 0;
    if (file != nullptr) std::fclose(file);
    if (got < sizeof handle.header || handle.header.handle_bytes > max_handle_bytes) {
        std::printf("OPEN %s: the probe could not read it\n", handle_path);
        return 1;
    }
    int open_doors = 0;
    char what[4200];
    for (const char* mount : {"/", "."}) {
        const int mount_fd = open(mount, O_RDONLY | O_DIRECTORY);
        const int fd = open_by_handle_at(mount_fd, &handle.header, O_RDONLY);
        std::snprintf(what, sizeof what, "open_by_handle_at(%s) with %s", handle_path, mount);
        open_doors += report(fd >= 0, what, "it opened the file outside");
        if (fd >= 0) close(fd);
        if (mount_fd >= 0) close(mount_fd);
    }
    return open_doors;
}

int try_capabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    char how[200];
    if (syscall(SYS_capget, &header, data) != 0) {
        return report(true, "capabilities", "capget failed, so they are unknown");
    }
    const unsigned long long effective = data[0].effective | (static_cast<unsigned long long>(data[1].effective) << 32);
    const unsigned long long permitted = data[0].permitted | (static_cast<unsigned long long>(data[1].permitted) << 32);
    unsigned long long bounding = 0;
    for (int cap = 0; cap < 64; ++cap) {
        if (prctl(PR_CAPBSET_READ, cap, 0, 0, 0) == 1) bounding |= 1ULL << cap;
    }
    const int no_new_privs = prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0);
    std::snprintf(how, sizeof how, "CapEff %016llx CapPrm %016llx", effective, permitted);
    int open_doors = report(effective != 0 || permitted != 0, "capabilities held", how);
    std::snprintf(how, sizeof how, "NoNewPrivs %d and CapBnd %016llx", no_new_privs, bounding);
    return open_doors + report(no_new_privs != 1 && bounding != 0, "capabilities to regain", how);
}

int try_terminal() {
    const int tty = open("/dev/tty", O_RDWR);
    int open_doors = report(tty >= 0, "a controlling terminal", "/dev/tty opened");
    if (tty >= 0) close(tty);
    for (int fd = 0; fd <= 2; ++fd) {
        pid_t session = 0;
        char what[60];
        std::snprintf(what, sizeof what, "a controlling terminal on fd %d", fd);
        open_doors += report(ioctl(fd, TIOCGSID, &session) == 0, what, "TIOCGSID answered");
    }
    struct stat in{};
    const bool null = fstat(0, &in) == 0 && S_ISCHR(in.st_mode) && major(in.st_rdev) == 1 && minor(in.st_rdev) == 3;
    return open_doors + report(!null, "standard input other than /dev/null", "fd 0 is something else");
}

// The kernel's own settings, which /proc offers to uid 0 without a
// capability: a core_pattern there would run a program as the host's root.
int try_kernel_settings() {
    int open_doors = 0;
    for (const char* path : {"/proc/sys/kernel/core_pattern", "/proc/sysrq-trigger"}) {
        const int fd = open(path, O_WRONLY);
        char what[80];
        std::snprintf(what, sizeof what, "writing %s", path);
        open_doors += report(fd >= 0, what, "it opened for writing");
        if (fd >= 0) close(fd);
    }
    return open_doors;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "handle") == 0) {
        return write_handle(argv[2], argv[3]);
    }
    if (argc < 3 || std::strcmp(argv[1], "inside") != 0) {
        std::fprintf(stderr, "usage: sandbox_probe handle PATH OUT | inside OUTSIDE HANDLE...\n");
        return 2;
    }
    int open_doors = try_capabilities() + try_path(argv[2]) + try_proc(argv[2]) + try_terminal() +
                     try_kernel_settings();
    for (int i = 3; i < argc; ++i) {
        open_doors += try_handle(argv[i]);
    }
    return open_doors == 0 ? 0 : 1;
}
