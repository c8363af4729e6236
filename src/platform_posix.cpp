// POSIX implementation of the platform services. The program sets no signal handlers, so
// no call here fails with EINTR.
#include "platform.hpp"
#include "text.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <libgen.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char PATH_SEP = '/';

void platform_init_stdio() {
    // POSIX streams never translate bytes; nothing to switch.
}

const char* platform_getenv(const char* name) {
    return getenv(name);
}

// Reads from fd until n bytes have arrived, the input ends or fails; returns the count.
static size_t read_all(int fd, char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    return got;
}

size_t platform_read_stdin(char* buf, size_t n) {
    return read_all(STDIN_FILENO, buf, n);
}

// Writes all n bytes to fd, retrying short writes. Returns false on failure.
static bool write_all(int fd, const char* buf, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, buf, n);
        if (w <= 0)
            return false;
        buf += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void platform_write_stdout(const char* buf, size_t n) {
    write_all(STDOUT_FILENO, buf, n);
}

void platform_make_dir(const char* path) {
    mkdir(path, 0777);
}

// O_NONBLOCK keeps a FIFO planted at the path from hanging the run; O_NOFOLLOW leaves links
// to open_through_links.
constexpr int READ_FLAGS = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;

// Opens for reading the file that the links at path lead to, when every one of them may be
// followed. The end of the chain is opened without following, so a link swapped in there
// after the check is refused too. Its own frame keeps the buffer off the common path's stack.
[[gnu::noinline]] static int open_through_links(const char* path) {
    char target[4096];
    if (!platform_resolve_links(path, target, sizeof target))
        return -1;
    return open(target, READ_FLAGS);
}

long platform_read_file(const char* path, char* buf, size_t n) {
    int fd = open(path, READ_FLAGS);
    // ELOOP: a symbolic link lies at path.
    if (fd < 0 && errno == ELOOP)
        fd = open_through_links(path);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    size_t got = read_all(fd, buf, n);
    close(fd);
    return static_cast<long>(got);
}

path_kind platform_path_kind(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0)
        return errno == ENOENT ? path_kind::missing : path_kind::other;
    return S_ISREG(st.st_mode) ? path_kind::regular : path_kind::other;
}

// Opens, with the given flags, the folder that holds the last piece of path.
static int open_parent(const char* path, int flags) {
    char dir[4096];
    str_copy(dir, sizeof dir, path);
    return open(dirname(dir), flags | O_DIRECTORY | O_CLOEXEC);
}

// Whether a link may be followed, the kernel's fs.protected_symlinks rule made stricter: in a
// folder that other users may write to, a link is followed only when it belongs to this
// program's effective user or to the folder's owner; anyone else's may have been planted to
// turn a save into a write elsewhere. Group-writable folders count, as their members are
// other users too, and so do folders without the sticky bit, where planting is just as easy.
static bool may_follow(const struct stat& folder, const struct stat& link) {
    if ((folder.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    return link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

// Reads into target (cap bytes) the link at path when it may be followed; returns its length,
// or -1 when it may not, or is gone. The link itself is opened, through the folder that holds
// it, so that the folder and the owner checked and the target read all belong to one link,
// even when another is swapped in meanwhile. Its own frame keeps the folder path off the
// stack of a save that finds no link.
[[gnu::noinline]] static ssize_t read_link_checked(const char* path, char* target, size_t cap) {
    int folder = open_parent(path, O_PATH);
    const char* slash = strrchr(path, '/');
    int link = openat(folder, slash == nullptr ? path : slash + 1, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat folder_st;
    struct stat link_st;
    ssize_t len = -1;
    // A failed open leaves -1, on which fstat and close fail harmlessly.
    if (fstat(folder, &folder_st) == 0 && fstat(link, &link_st) == 0 &&
        may_follow(folder_st, link_st))
        len = readlinkat(link, "", target, cap - 1);
    close(link);
    close(folder);
    return len;
}

bool platform_resolve_links(const char* path, char* out, size_t cap) {
    size_t path_len = strlen(path);
    if (path_len >= cap)
        return false;
    memcpy(out, path, path_len + 1);
    // Follow the chain link by link, so that a link whose target does not exist yet still
    // resolves to the file that a save should create. 40 hops is the kernel's own limit.
    for (int hops = 0; hops < 40; hops++) {
        // readlink fails for a path that is missing or no link: the chain ends there. A link
        // found is then read again under the rule of may_follow.
        char target[4096];
        if (readlink(out, target, sizeof target) < 0)
            return true;
        ssize_t len = read_link_checked(out, target, sizeof target);
        if (len < 0)
            return false;
        target[len] = '\0';
        if (target[0] == '/') {
            if (static_cast<size_t>(len) >= cap)
                return false;
            memcpy(out, target, static_cast<size_t>(len) + 1);
            continue;
        }
        // A relative target is relative to the directory that holds the link.
        char* slash = strrchr(out, '/');
        size_t dir_len = slash == nullptr ? 0 : static_cast<size_t>(slash - out) + 1;
        if (dir_len + static_cast<size_t>(len) >= cap)
            return false;
        memcpy(out + dir_len, target, static_cast<size_t>(len) + 1);
    }
    return false;
}

// Makes a completed rename durable by syncing the directory that holds path.
static void sync_parent_dir(const char* path) {
    int fd = open_parent(path, O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

bool platform_replace_file(const char* path, const char* tmp_path, const char* data, size_t n) {
    // Keep the permissions of the file being replaced; a new file gets the default ones.
    mode_t mode = 0666;
    struct stat st;
    if (stat(path, &st) == 0)
        mode = st.st_mode & 07777;
    // Whatever lies at the temporary path is left over from an interrupted save (the caller
    // holds the store's lock), so it goes first: a FIFO or a link planted there would
    // otherwise hang the open or redirect the write.
    unlink(tmp_path);
    int fd = open(tmp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, data, n) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp_path, path) == 0) {
        sync_parent_dir(path);
        return true;
    }
    unlink(tmp_path);
    return false;
}

lock_result platform_try_lock(const char* path, file_lock* lock) {
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        return lock_result::failed;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        return err == EWOULDBLOCK ? lock_result::busy : lock_result::failed;
    }
    lock->handle = fd;
    return lock_result::taken;
}

void platform_unlock(file_lock* lock) {
    if (lock->handle >= 0) {
        flock(static_cast<int>(lock->handle), LOCK_UN);
        close(static_cast<int>(lock->handle));
        lock->handle = -1;
    }
}

uint64_t platform_now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void platform_sleep_ms(unsigned ms) {
    struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}
