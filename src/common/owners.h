// Owners of the C library's handles: each one is closed or freed by its owner, on
// every path. A descriptor's owner is unique_fd (common/unique_fd.h).
#pragma once

#include <dirent.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
// Text allocated by the C library (json_dumps, strdup, util_str_replace).
using c_str_ptr = std::unique_ptr<char, free_deleter>;

struct file_closer {
    void operator()(FILE *file) const { std::fclose(file); }
};
// Closing through the owner drops fclose's result: a writer that must know it
// calls fclose(file.release()) itself.
using file_ptr = std::unique_ptr<FILE, file_closer>;

struct dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// Owner of an mmap() mapping of size bytes.
struct munmap_deleter {
    size_t size;
    void operator()(void *addr) const { munmap(addr, size); }
};
using mapping_ptr = std::unique_ptr<void, munmap_deleter>;
// MAP_FAILED makes an empty owner.
inline mapping_ptr own_mapping(void *addr, size_t size) {
    return mapping_ptr(addr == MAP_FAILED ? nullptr : addr, munmap_deleter{size});
}
