// Pure pieces of the Linux process facts: reading /proc/PID/status, /etc/passwd and
// /proc/PID/cgroup texts. Nothing here touches the system, so tests feed them directly.
#pragma once

#include <cstddef>
#include <cstdint>

// The real uid of a /proc/PID/status text (the first number of its "Uid:" line): 1
// with *uid set, 0 when the text has none.
int lp_status_uid(const char *text, uint32_t *uid);

// The first number of the line of a /proc/PID/status text that starts with key
// ("Tgid:"): 1 with *v set, 0 when the text has none.
int lp_status_number(const char *text, const char *key, uint32_t *v);

// The task name, the parent and the start (clock ticks after boot) of a /proc/PID/stat
// text. The name sits between the first "(" and the last ")", since it may hold both
// and blanks; it is cut to fit name_size. 1 when the text has them all, else 0.
int lp_stat_fields(const char *text, char *name, size_t name_size, uint32_t *ppid,
                   uint64_t *start_ticks);

// The name of uid in an /etc/passwd text of n bytes ("name:password:uid:..." lines),
// the first entry winning: 1 with buf filled, 0 when there is none or it does not fit.
int lp_passwd_name(const char *text, size_t n, uint32_t uid, char *buf, size_t size);

// The systemd unit and the container of a /proc/PID/cgroup text, from the path of its
// "name=systemd" line where it has one (the hybrid hierarchy), else of its "0::" line
// (the unified one). The unit is the last path component that ends in ".service",
// ".socket" or ".scope"; the container is the first 12 characters of the id in the
// innermost component a container runtime names (docker-<id>.scope, /docker/<id>,
// libpod-<id>, podman's monitor libpod-conmon-<id>, crio-<id>, cri-containerd-<id>, kubepods paths ending in an id). Each
// is empty when there is none, or when it does not fit.
void lp_cgroup_facts(const char *text, char *unit, size_t unit_size, char *container,
                     size_t container_size);

// The uid of the Kubernetes pod a /proc/PID/cgroup text's path (as lp_cgroup_facts
// chooses it) is in: a kubepods path's "pod<uid>" component (cgroupfs) or its
// "kubepods-<class>-pod<uid>.slice" (systemd, "_" for "-"), the uid 36 characters of
// lowercase hexadecimal digits and dashes. 1 with uid filled (size at least 37), else 0
// and uid empty.
int lp_cgroup_pod_uid(const char *text, char *uid, size_t size);
