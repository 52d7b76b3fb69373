// The CNI plugins' cache on Linux: /var/lib/cni/results, a folder of root's, whose files
// podman and containerd's CRI keep for each container's network (cni.h reads one).
#pragma once

#include <cstddef>

#include "platform/linux/cni.h"

// Every cache file of the folder that could be read, read once per discovery of the
// namespaces (netns.h) and kept until the next: *caches points at them; their number.
// A folder or file that is not root's, or not what an engine writes, is left out and
// said ("forwarders" or "published" among the facts not read, per what asked).
size_t lcs_caches(const lcn_cache **caches);

// Whether the last reading of the folder left a file or the folder itself unread.
bool lcs_incomplete();

// The cache of the container whose full id is id, or null.
const lcn_cache *lcs_cache_of(const char *id);
