#include "platform/linux/cni_state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/checked_files.h"
#include "platform/linux/netns.h"
#include "platform/linux/proc_dirs.h"
#include "platform/linux/sys.h"
#include "platform/platform.h"

namespace {

// What one answer may read of the cache: no number of files makes it read more.
enum {
    MAX_FILES = 1024,
    MAX_FILE_BYTES = 1 << 20,
    MAX_ALL_BYTES = 64 << 20,
};

const char FOLDER[] = "/var/lib/cni/results";
const int64_t ROOT = 0;

struct cache_set {
    unsigned discovery; // 0: never read
    lcn_cache *caches;
    size_t count, cap;
    size_t bytes;
    bool incomplete;
    int root;
};
cache_set g_set;

// A cache file's name: <network>-<64 hex id>-<interface>.
bool cache_name(const char *name) {
    const size_t n = strlen(name);
    for (size_t at = 0; at + 66 <= n; ++at) {
        if (name[at] != '-' || name[at + 65] != '-') continue;
        if (strspn(name + at + 1, "0123456789abcdef") >= 64) return true;
    }
    return false;
}

bool take_file(const char *name, void *) {
    cache_set &s = g_set;
    if (!cache_name(name)) return true;
    if (s.count == MAX_FILES || s.bytes >= MAX_ALL_BYTES) {
        s.incomplete = true;
        return false;
    }
    // Beneath the folder, which stands for the root here.
    static char path[256 + 2];
    if (snprintf(path, sizeof path, "/%s", name) >= static_cast<int>(sizeof path)) return true;
    char *text;
    size_t n;
    const int read = lc_read(s.root, path, ROOT, MAX_FILE_BYTES, &text, &n);
    if (read != PLAT_FILE_READ) {
        // Gone since it was listed: a container stopped meanwhile.
        if (read != PLAT_FILE_MISSING) s.incomplete = true;
        return true;
    }
    s.bytes += n;
    if (s.count == s.cap) {
        const size_t cap = s.cap ? s.cap * 2 : 16;
        void *grown = g_linux_sys.realloc(s.caches, cap * sizeof *s.caches);
        if (!grown) {
            free(text);
            s.incomplete = true;
            return false;
        }
        s.caches = static_cast<lcn_cache *>(grown);
        s.cap = cap;
    }
    // A file that is no engine's cache is said, never half taken.
    if (lcn_read(text, n, &s.caches[s.count]) == 0)
        ++s.count;
    else
        s.incomplete = true;
    free(text);
    return true;
}

void read_set() {
    cache_set &s = g_set;
    if (s.discovery == ln_discoveries() && s.discovery) return;
    s.discovery = ln_discoveries();
    s.count = 0;
    s.bytes = 0;
    s.incomplete = false;
    // No folder: no engine here keeps a CNI cache (told without a descriptor).
    struct stat st;
    if (stat(FOLDER, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) return;
    // On the node's own path, which only root may change; its files are read beneath it.
    s.root = open(FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (s.root < 0 || fstat(s.root, &st) != 0 || st.st_uid != 0) {
        s.incomplete = true;
    } else {
        proc_dir_each(s.root, take_file, nullptr);
    }
    if (s.root >= 0) close(s.root);
    s.root = -1;
}

} // namespace

size_t lcs_caches(const lcn_cache **caches) {
    read_set();
    *caches = g_set.caches;
    return g_set.count;
}

bool lcs_incomplete() {
    read_set();
    return g_set.incomplete;
}

const lcn_cache *lcs_cache_of(const char *id) {
    const lcn_cache *all;
    const size_t n = lcs_caches(&all);
    for (size_t k = 0; k < n; ++k)
        if (strcmp(all[k].id, id) == 0) return &all[k];
    return nullptr;
}
