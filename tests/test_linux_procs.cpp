// The pure pieces of the Linux process facts, fed directly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/linux_procs.h"

namespace {

TEST(StatusUid, TheRealUidOfTheUidLine) {
    uint32_t uid = 7;
    EXPECT_EQ(lp_status_uid("Name:\tnginx\nUmask:\t0022\nUid:\t33\t0\t0\t0\nGid:\t33\t33\t33\t33\n",
                            &uid),
              1);
    EXPECT_EQ(uid, 33u);
    EXPECT_EQ(lp_status_uid("Uid:  4294967295 0 0 0", &uid), 1);
    EXPECT_EQ(uid, 4294967295u);
    for (const char *text :
         {"Name:\tx\nGid:\t0\t0\t0\t0\n", "Uid:\t\n", "Uid:\t4294967296\t0", "XUid:\t5\n", ""})
        EXPECT_EQ(lp_status_uid(text, &uid), 0) << text;
}

TEST(Passwd, NamesByUidFirstEntryWinning) {
    const std::string passwd = "root:x:0:0:root:/root:/bin/bash\n"
                               "# a comment:x:5:\n"
                               "www-data:x:33:33:www-data:/var/www:/usr/sbin/nologin\n"
                               "broken:x:3x:1\n"
                               "+nis:x:6::\n"
                               ":x:44:44::/:\n"
                               "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n"
                               "second:x:33:33::/:\n"
                               "last:x:1000:1000::/home/last:/bin/sh";
    auto name = [&](uint32_t uid, size_t size = 64) {
        char buf[64] = "left";
        return lp_passwd_name(passwd.data(), passwd.size(), uid, buf, size) ? std::string(buf)
                                                                            : "(none)";
    };
    EXPECT_EQ(name(0), "root");
    EXPECT_EQ(name(33), "www-data");
    EXPECT_EQ(name(65534), "nobody");
    EXPECT_EQ(name(1000), "last"); // no line feed at the end
    EXPECT_EQ(name(3), "(none)");
    EXPECT_EQ(name(44), "(none)"); // an entry without a name
    EXPECT_EQ(name(5), "(none)");
    EXPECT_EQ(name(6), "(none)");
    EXPECT_EQ(name(33, 8), "(none)"); // does not fit: no name rather than a cut one
    EXPECT_EQ(name(33, 9), "www-data");
}

TEST(Cgroup, UnitAndContainerOfTheSystemdPath) {
    const std::string id = "3f2a9c1b7d4e5f60718293a4b5c6d7e8f9012345678901234567890abcdef012";
    struct {
        std::string text, unit, container;
    } cases[] = {
        {"0::/system.slice/nginx.service\n", "nginx.service", ""},
        {"0::/user.slice/user-1000.slice/user@1000.service\n", "user@1000.service", ""},
        {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-x.scope\n", "app-x.scope",
         ""},
        {"0::/system.slice/docker.socket\n", "docker.socket", ""},
        {"0::/init.scope\n", "init.scope", ""},
        {"0::/\n", "", ""},
        {"0::/system.slice/nginx.service/worker\n", "nginx.service", ""},
        // Hybrid: the name=systemd line wins, wherever it stands.
        {"12:memory:/system.slice/a.service\n0::/system.slice/b.service\n"
         "1:name=systemd:/system.slice/c.service\n",
         "c.service", ""},
        {"5:cpu,cpuacct:/x.service\n", "", ""}, // neither line
        // Container runtimes.
        {"0::/system.slice/docker-" + id + ".scope\n", "docker-" + id + ".scope", id.substr(0, 12)},
        {"12:pids:/docker/" + id + "\n1:name=systemd:/docker/" + id + "\n0::/\n", "",
         id.substr(0, 12)},
        {"0::/machine.slice/libpod-" + id + ".scope/container\n", "libpod-" + id + ".scope",
         id.substr(0, 12)},
        {"0::/machine.slice/libpod-conmon-" + id + ".scope\n", "libpod-conmon-" + id + ".scope",
         ""},
        {"0::/libpod_parent/libpod-" + id + "\n", "", id.substr(0, 12)},
        {"0::/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod1234.slice/"
         "cri-containerd-" +
             id + ".scope\n",
         "cri-containerd-" + id + ".scope", id.substr(0, 12)},
        {"0::/kubepods.slice/kubepods-pod9.slice/crio-" + id + ".scope\n", "crio-" + id + ".scope",
         id.substr(0, 12)},
        {"0::/kubepods/besteffort/pod0f1e2d3c-aaaa-bbbb-cccc-000000000000/" + id + "\n", "",
         id.substr(0, 12)},
        {"0::/system.slice/containerd.service/kubepods-besteffort-pod12.slice:cri-containerd:" +
             id + "\n",
         "containerd.service", id.substr(0, 12)},
        // The innermost container of a nested one.
        {"0::/docker/" + id + "/docker/abcdefabcdef" + id.substr(12) + "\n", "", "abcdefabcdef"},
        // Not containers: a bare id outside a runtime's tree, a short or non-hex id.
        {"0::/system.slice/" + id + "\n", "", ""},
        {"0::/docker-abc.scope\n", "docker-abc.scope", ""},
        {"0::/docker-" + id.substr(0, 20) + "xyz.scope\n",
         "docker-" + id.substr(0, 20) + "xyz.scope", ""},
    };
    for (const auto &c : cases) {
        char unit[512], container[16];
        lp_cgroup_facts(c.text.c_str(), unit, sizeof unit, container, sizeof container);
        EXPECT_EQ(std::string(unit), c.unit) << c.text;
        EXPECT_EQ(std::string(container), c.container) << c.text;
    }
    // A unit that does not fit is none.
    char small[8], container[16];
    lp_cgroup_facts("0::/system.slice/nginx.service\n", small, sizeof small, container,
                    sizeof container);
    EXPECT_STREQ(small, "");
}

} // namespace
