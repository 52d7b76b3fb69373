// The pure pieces of the Linux process facts, fed directly.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/checked_files.h"
#include "platform/linux/cni.h"
#include "platform/linux/forward.h"
#include "platform/linux/procs.h"
#include "platform/linux/reader_format.h"

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

TEST(Stat, NameParentAndStartWhateverTheNameHolds) {
    // Fields 3 to 22 of the kernel's line; the start is the last one read.
    const std::string rest = " S 812 812 812 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 123456 ";
    char name[16];
    uint32_t ppid = 0;
    uint64_t start = 0;
    for (const char *task : {"sshd", "a) (b", ") x (", "", "with\nline"}) {
        const std::string text = "4242 (" + std::string(task) + ")" + rest + "9 8 7\n";
        ASSERT_EQ(lp_stat_fields(text.c_str(), name, sizeof name, &ppid, &start), 1) << task;
        EXPECT_STREQ(name, task);
        EXPECT_EQ(ppid, 812u);
        EXPECT_EQ(start, 123456u);
    }
    // A name longer than its room is cut; a line short of the start, or with no number
    // where the parent or the start stand, is none.
    ASSERT_EQ(lp_stat_fields(("1 (0123456789abcdefgh)" + rest).c_str(), name, 8, &ppid, &start), 1);
    EXPECT_STREQ(name, "0123456");
    for (const std::string &text : std::vector<std::string>{
             std::string("1 (x) S 812 1 2"), "1 x S 812" + rest, "1 (x) S -1" + rest.substr(6),
             "1 (x)" + rest.substr(0, rest.size() - 8) + "12x456 ", "1 (x) S"})
        EXPECT_EQ(lp_stat_fields(text.c_str(), name, sizeof name, &ppid, &start), 0) << text;
    uint32_t group = 0;
    EXPECT_EQ(lp_status_number("Name:\tx\nTgid:\t4242\nPid:\t4243\n", "Tgid:", &group), 1);
    EXPECT_EQ(group, 4242u);
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
        // podman's monitor of the container, in a scope of its own.
        {"0::/machine.slice/libpod-conmon-" + id + ".scope\n", "libpod-conmon-" + id + ".scope",
         id.substr(0, 12)},
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

// A command line as /proc/PID/cmdline holds it: each argument ended by a NUL.
std::string cmdline(std::initializer_list<std::string> args) {
    std::string out;
    for (const auto &a : args) out += a + '\0';
    return out;
}

std::string proxy_text(const lf_proxy &p) {
    char host[64], target[64];
    inet_ntop(p.host_ipv6 ? AF_INET6 : AF_INET, p.host_addr, host, sizeof host);
    inet_ntop(p.target_ipv6 ? AF_INET6 : AF_INET, p.target_addr, target, sizeof target);
    return std::string(p.proto) + " " + host + " " + std::to_string(p.host_port) + " " + target +
           " " + std::to_string(p.target_port);
}

TEST(DockerProxy, TheFiveFlagsInEveryFormGoFlagsTake) {
    struct {
        std::string line, want;
    } cases[] = {
        {cmdline({"/usr/sbin/docker-proxy", "-proto", "tcp", "-host-ip", "127.0.0.1", "-host-port",
                  "18090", "-container-ip", "172.17.0.2", "-container-port", "80"}),
         "tcp 127.0.0.1 18090 172.17.0.2 80"},
        {cmdline({"docker-proxy", "--proto=udp", "--host-ip=::", "-host-port=53", "-container-ip",
                  "fd00::2", "-container-port=5353", "-use-listen-fd"}),
         "udp :: 53 fd00::2 5353"},
    };
    for (const auto &c : cases) {
        lf_proxy p;
        ASSERT_EQ(lf_docker_proxy(c.line.data(), c.line.size(), &p), 0) << c.want;
        EXPECT_EQ(proxy_text(p), c.want);
    }
}

TEST(DockerProxy, AnythingButPlainFlagsSaysNothing) {
    const std::vector<std::string> valid = {
        "docker-proxy", "-proto",        "tcp",        "-host-ip",        "0.0.0.0", "-host-port",
        "8080",         "-container-ip", "172.17.0.2", "-container-port", "80"};
    auto with = [&](size_t at, const std::string &value) {
        std::string out;
        for (size_t i = 0; i < valid.size(); ++i) out += (i == at ? value : valid[i]) + '\0';
        return out;
    };
    const std::string cases[] = {
        with(8, "\"><script>x</script>"),
        with(8, "172.17.0.2 "),
        with(8, "172.17.0.256"),
        with(6, "0"),
        with(6, "65536"),
        with(6, "080"),
        with(6, "+80"),
        with(6, "0x50"),
        with(2, "icmp"),
        with(9, "-host-port"),                    // a repeated flag
        with(0, "docker-proxy") + "extra" + '\0', // an argument that is no flag
        with(0, "docker-proxy") + "-v" + '\0',    // a flag not known, which may take a value
        with(0, "docker-proxy") + "-container-port" + '\0', // a flag without its value
        cmdline({"docker-proxy", "-proto", "tcp", "-host-ip", "0.0.0.0", "-host-port", "8080"}),
        cmdline({"docker-proxy"}),
        "",
        std::string("docker-proxy\0-proto\0tc\0p", 25), // a NUL inside a value
    };
    for (const auto &c : cases) {
        lf_proxy p;
        EXPECT_EQ(lf_docker_proxy(c.data(), c.size(), &p), -1) << c;
        EXPECT_EQ(p.host_port, 0);
    }
}

TEST(Dockerd, DataRootAndConfigFileAbsoluteOnly) {
    char root[32] = "kept", config[32] = "kept", exec[32] = "kept";
    const lf_dockerd_dirs dirs = {root, sizeof root, config, sizeof config, exec, sizeof exec};
    std::string line = cmdline({"/usr/sbin/dockerd", "-H", "unix:///x", "--data-root", "/srv/d",
                                "--config-file=/etc/d.json", "--exec-root", "/run/d"});
    lf_dockerd_paths(line.data(), line.size(), dirs);
    EXPECT_STREQ(root, "/srv/d");
    EXPECT_STREQ(config, "/etc/d.json");
    EXPECT_STREQ(exec, "/run/d");
    strcpy(root, "kept");
    line = cmdline({"dockerd", "--data-root=relative", "--config-file",
                    "/a/path/too/long/for/the/room/given", "--exec-root", "--data-root"});
    lf_dockerd_paths(line.data(), line.size(), dirs);
    EXPECT_STREQ(root, "kept");
    EXPECT_STREQ(config, "/etc/d.json");
    EXPECT_STREQ(exec, "/run/d");
}

TEST(Conmon, IdAndNameOnlyFromACommandLineConmonTakes) {
    const std::string id(64, 'a');
    const std::string bundle = "/var/lib/containers/storage/overlay-containers/" + id + "/userdata";
    auto args = [&](std::vector<std::string> more) {
        std::vector<std::string> all = {"/usr/bin/conmon", "--api-version", "1", "-c", id, "-u", id,
                                        "-r", "/usr/bin/runc", "-b", bundle, "-n", "web1",
                                        "--full-attach", "--exit-command-arg", "-n",
                                        "--runtime-arg=--log-format=json"};
        all.insert(all.end(), more.begin(), more.end());
        std::string line;
        for (const auto &a : all) line += a + '\0';
        return line;
    };
    lf_conmon c;
    std::string line = args({});
    ASSERT_EQ(lf_conmon_args(line.data(), line.size(), &c), 0);
    EXPECT_EQ(c.id, id);
    EXPECT_STREQ(c.name, "web1");
    // A flag conmon does not take, a second name, another bundle, a name podman refuses,
    // an id that is no id: nothing is believed.
    const std::vector<std::vector<std::string>> bad = {
        {"--publish", "80"}, {"-n", "web2"}, {"stray"}, {"-s=1"},
    };
    for (const auto &more : bad) {
        line = args(more);
        EXPECT_EQ(lf_conmon_args(line.data(), line.size(), &c), -1) << more[0];
        EXPECT_EQ(c.name[0], '\0');
    }
    for (const auto &swap : std::vector<std::pair<std::string, std::string>>{
             {"web1", "<b>x"}, {bundle, "/tmp/" + std::string(64, 'b') + "/userdata"},
             {"-u", "--cuuid=" + std::string(64, 'c')}}) {
        line = args({});
        line.replace(line.find(swap.first + '\0'), swap.first.size(), swap.second);
        if (swap.first == "-u") line.replace(line.find(id + '\0', line.find("--cuuid")), id.size() + 1, "");
        EXPECT_EQ(lf_conmon_args(line.data(), line.size(), &c), -1) << swap.second;
    }
}

std::string corpus_file(const char *name) {
    std::string path = std::string(PORTS_SOURCE_DIR "/tests/fuzz/corpus/cni/") + name;
    FILE *f = fopen(path.c_str(), "rb");
    std::string text;
    char buf[4096];
    size_t n;
    while (f && (n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    if (f) fclose(f);
    return text;
}

TEST(CniCache, PodmanAndContainerdSpellings) {
    lcn_cache c;
    std::string text = corpus_file("podman-4.3");
    ASSERT_EQ(lcn_read(text.data(), text.size(), &c), 0);
    EXPECT_EQ(std::string(c.id).substr(0, 12), "26af7edc7a5e");
    ASSERT_EQ(c.n_maps, 1);
    EXPECT_STREQ(c.maps[0].proto, "tcp");
    EXPECT_EQ(c.maps[0].host_port, 18733);
    EXPECT_EQ(c.maps[0].container_port, 80);
    EXPECT_EQ(c.maps[0].host_any, 0);
    EXPECT_EQ(c.maps[0].host_addr[0], 127);
    ASSERT_EQ(c.n_addrs, 1);
    EXPECT_EQ(c.addrs[0].addr[0], 10);
    EXPECT_EQ(std::string(c.netns).rfind("/run/netns/netns-", 0), 0u);
    EXPECT_STREQ(c.pod_name, "pt33web");

    text = corpus_file("containerd-1.6");
    ASSERT_EQ(lcn_read(text.data(), text.size(), &c), 0);
    ASSERT_EQ(c.n_maps, 1);
    EXPECT_EQ(c.maps[0].host_port, 8080);
    EXPECT_EQ(c.maps[0].host_any, 1);
    EXPECT_STREQ(c.pod_namespace, "shop");
    EXPECT_STREQ(c.pod_name, "web-7d4b9c");
    EXPECT_STREQ(c.netns, "/var/run/netns/cni-1b2c3d4e-5f60-7182-93a4-b5c6d7e8f901");

    // Not what an engine writes: a port out of range or as text, an unknown protocol, an
    // address that is none, a relative namespace, another kind, a short id.
    const char *const swaps[][2] = {
        {"\"HostPort\":8080", "\"HostPort\":70000"},
        {"\"HostPort\":8080", "\"HostPort\":\"8080\""},
        {"\"Protocol\":\"tcp\"", "\"Protocol\":\"icmp\""},
        {"\"HostIP\":\"\"", "\"HostIP\":\"<script>\""},
        {"\"sandbox\":\"/var", "\"sandbox\":\"var"},
        {"cniCacheV1", "cniCacheV2"},
        {"\"containerId\":\"5f3c", "\"containerId\":\"5f3"},
        {"\"ContainerPort\":80,", ""},
    };
    const std::string good = corpus_file("containerd-1.6");
    for (const auto &swap : swaps) {
        text = good;
        const size_t at = text.find(swap[0]);
        ASSERT_NE(at, std::string::npos) << swap[0];
        text.replace(at, strlen(swap[0]), swap[1]);
        EXPECT_EQ(lcn_read(text.data(), text.size(), &c), -1) << swap[1];
        EXPECT_EQ(c.n_maps, 0);
    }
}

TEST(DockerState, PublishedPortsAndAddresses) {
    lcn_docker d;
    std::string text = corpus_file("docker-config.v2.json");
    const std::string good = text;
    ASSERT_EQ(lcn_docker_read(text.data(), text.size(), &d), 0);
    ASSERT_EQ(d.n_maps, 2);
    EXPECT_STREQ(d.maps[0].proto, "tcp");
    EXPECT_EQ(d.maps[0].container_port, 80);
    EXPECT_EQ(d.maps[0].host_port, 18734);
    EXPECT_EQ(d.maps[0].host_any, 0);
    EXPECT_STREQ(d.maps[1].proto, "udp");
    EXPECT_EQ(d.maps[1].host_any, 1);
    ASSERT_EQ(d.n_addrs, 1);
    EXPECT_EQ(d.addrs[0].addr[0], 10);
    for (const char *bad : {"\"HostPort\":\"70000\"", "\"HostPort\":18734", "\"HostIp\":\"x\""}) {
        text = good;
        const size_t at = text.find("\"HostPort\":\"18734\"");
        ASSERT_NE(at, std::string::npos);
        text.replace(at, strlen("\"HostPort\":\"18734\""), bad);
        EXPECT_EQ(lcn_docker_read(text.data(), text.size(), &d), -1) << bad;
        EXPECT_EQ(d.n_maps, 0);
    }
}

TEST(CgroupPod, TheUidOfAKubepodsPathOnly) {
    const std::string uid = "0f1e2d3c-aaaa-bbbb-cccc-000000000000";
    const std::string id(64, 'a');
    auto pod = [](const std::string &text) {
        char buf[40];
        return lp_cgroup_pod_uid(text.c_str(), buf, sizeof buf) ? std::string(buf) : std::string("-");
    };
    EXPECT_EQ(pod("0::/kubepods/besteffort/pod" + uid + "/" + id + "\n"), uid);
    std::string systemd = uid;
    for (char &c : systemd) c = c == '-' ? '_' : c;
    EXPECT_EQ(pod("0::/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod" + systemd +
                  ".slice/cri-containerd-" + id + ".scope\n"),
              uid);
    EXPECT_EQ(pod("0::/system.slice/pod" + uid + ".service\n"), "-");   // no kubepods
    EXPECT_EQ(pod("0::/kubepods/besteffort/pod1234/" + id + "\n"), "-"); // no uid
    EXPECT_EQ(pod("0::/kubepods/besteffort/pod" + uid.substr(0, 35) + "X/x\n"), "-");
}

TEST(Pasta, TheSpecThatForwardsTheSocketOrNothing) {
    static const unsigned char lo[4] = {127, 0, 0, 1}, any[16] = {};
    auto target = [&](std::initializer_list<std::string> args, const char *proto = "tcp",
                      const unsigned char *addr = nullptr, int port = 8080, int ipv6 = 0) {
        if (!addr) addr = lo;
        std::string line = cmdline(args);
        int32_t t = -7;
        return lf_pasta_target(line.data(), line.size(), proto, ipv6, addr, port, &t) == 0 ? t : -1;
    };
    EXPECT_EQ(target({"pasta", "-t", "127.0.0.1/8080:80", "-u", "none"}), 80);
    EXPECT_EQ(target({"pasta", "--tcp-ports=8000-8100:9000-9100"}), 9080);
    EXPECT_EQ(target({"pasta", "-t8080"}), 8080);
    EXPECT_EQ(target({"pasta", "-u", "5353:53"}, "udp", lo, 5353), 53);
    EXPECT_EQ(target({"pasta", "-t", "8080", "--", "sh", "-t", "9"}, "tcp", any, 8080, 1), 8080);
    // Another address, an excluded port, the other protocol, a command's own -t.
    EXPECT_EQ(target({"pasta", "-t", "10.0.0.1/8080:80"}), -1);
    EXPECT_EQ(target({"pasta", "-t", "8000-8100,~8080"}), -1);
    EXPECT_EQ(target({"pasta", "-u", "8080"}), -1);
    EXPECT_EQ(target({"pasta", "--", "sh", "-t", "8080"}), -1);
    // Mappings it cannot read whole, or that forward ports it cannot tell: nothing.
    for (const char *bad : {"70000", "8080:80-90", "all", "auto", "8080,", "x/8080", "8080-80",
                            "fe80::1%eth0/8080"})
        EXPECT_EQ(target({"pasta", "-t", bad}), -1) << bad;
    EXPECT_EQ(target({"pasta", "-T", "-t", "-t", "8080"}), 8080); // -T's value is no mapping
}

TEST(JsonString, TopLevelStringMembersOnly) {
    auto get = [](std::string text, const char *key, size_t size = 32) {
        char buf[32] = "left";
        return lf_json_string(text.data(), text.size(), key, buf, size) ? std::string(buf)
                                                                        : "(none)";
    };
    const std::string config = R"({"ID":"fa42","Name":"/web\"1","State":{"Name":"inner"},)"
                               R"("Pid":7,"Nul":"a\u0000b"})";
    EXPECT_EQ(get(config, "Name"), "/web\"1");
    EXPECT_EQ(get(config, "Pid"), "(none)");
    EXPECT_EQ(get(config, "Nul"), "(none)");
    EXPECT_EQ(get(config, "Missing"), "(none)");
    EXPECT_EQ(get(config, "Name", 6), "(none)"); // does not fit
    EXPECT_EQ(get(R"(["Name","x"])", "Name"), "(none)");
    EXPECT_EQ(get(R"({"Name":"x")", "Name"), "(none)"); // cut short
    EXPECT_EQ(get(R"({"Name":"first","Name":"second"})", "Name"), "first");
    EXPECT_EQ(get(std::string(R"({"Name":"x"})") + '\0', "Name"), "(none)");
    // Nesting far deeper than a small stack holds ends the reading, not the program.
    EXPECT_EQ(get(std::string(100000, '[') + std::string(100000, ']'), "Name"), "(none)");
    EXPECT_EQ(get(R"({"Name":"x","a":)" + std::string(100, '[') + std::string(100, ']') + "}",
                  "Name"),
              "(none)");
    // A path of keys reaches into the first object of each name only.
    const std::string state = R"({"Name":"/web","Config":{"SandboxKey":"no"},)"
                              R"("NetworkSettings":{"Networks":{"SandboxKey":"deeper"},)"
                              R"("SandboxKey":"/run/docker/netns/ab"},)"
                              R"("NetworkSettings":{"SandboxKey":"second"}})";
    EXPECT_EQ(get(state, "NetworkSettings.SandboxKey"), "/run/docker/netns/ab");
    EXPECT_EQ(get(state, "SandboxKey"), "(none)");
    EXPECT_EQ(get(R"({"NetworkSettings":{"Other":1},"NetworkSettings":{"SandboxKey":"x"}})",
                  "NetworkSettings.SandboxKey"),
              "(none)");
    EXPECT_EQ(get(R"({"NetworkSettings":["SandboxKey","x"]})", "NetworkSettings.SandboxKey"),
              "(none)");
}

TEST(EngineTrust, RootOfTheNodesOwnUserNamespaceOnly) {
    EXPECT_TRUE(lf_status_root("Name:\tdockerd\nUid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\n"));
    EXPECT_FALSE(lf_status_root("Name:\tdockerd\nUid:\t0\t65534\t0\t0\n")); // setuid back
    EXPECT_FALSE(lf_status_root("Name:\tdockerd\nUid:\t0\t0\t0\t01\n"));
    EXPECT_FALSE(lf_status_root("Name:\tUid:\t0\t0\t0\t0\n")); // a name is no line
    EXPECT_FALSE(lf_status_root("Name:\tx\nUid:\t0\t0\t0\n"));
    EXPECT_TRUE(lf_identity_map("         0          0 4294967295\n"));
    EXPECT_FALSE(lf_identity_map("         0      65534          1\n")); // unshare -Ur
    EXPECT_FALSE(lf_identity_map("0 0 4294967295\n1 1 1\n"));
    EXPECT_FALSE(lf_identity_map(""));
}

TEST(CheckedPath, ComponentsWithoutDotNames) {
    auto parts = [](const char *path) {
        std::string out;
        size_t at = 0;
        const char *name;
        size_t len;
        int got;
        while ((got = lc_next_component(path, &at, &name, &len)) == 1)
            out.append("[").append(name, len).append("]");
        if (got < 0) out.append("!");
        return out;
    };
    EXPECT_EQ(parts("/var//lib/docker/"), "[var][lib][docker]");
    EXPECT_EQ(parts("/"), "");
    EXPECT_EQ(parts("/var/../etc/shadow"), "[var]!");
    EXPECT_EQ(parts("/var/./lib"), "[var]!");
    EXPECT_EQ(parts("/a/..b/.c"), "[a][..b][.c]");
}

// ports-reader's output, read as untrusted: what a whole, well-formed output gives, and
// that anything else (cut short, a record out of shape, a second spelling) gives nothing.
std::vector<std::string> read_output(std::string text) {
    std::vector<std::string> out;
    const int rc = reader_parse(text.data(), text.size(),
                                [](const reader_record *r, void *ctx) {
                                    std::string line(1, r->kind);
                                    for (int i = 0; i < r->count; ++i) {
                                        line.push_back(' ');
                                        line.append(std::to_string(r->num[i]));
                                    }
                                    if (r->text) {
                                        line.append(" [");
                                        line.append(r->text, r->len);
                                        line.push_back(']');
                                    }
                                    static_cast<std::vector<std::string> *>(ctx)->push_back(line);
                                },
                                &out);
    if (rc != 0) out = {"refused"};
    return out;
}

TEST(ReaderOutput, WholeAndWellFormedOrNothing) {
    char encoded[3 * 6 + 1];
    EXPECT_EQ(reader_encode("a b%\n\xff", 6, encoded), 14u);
    EXPECT_STREQ(encoded, "a%20b%25%0A%FF");
    EXPECT_EQ(read_output("ports-reader 1\no 7 10 0 1\no 8 10 11 2\nn 10 a%20b%25%0A%FF\n"
                          "x owners\ne 0 1 /bin/x\nc 2 -\nk 0\na \na --p=1\nh 1\ns 8\nm 4026532305 4026532400\n"
                          "end 12\n"),
              (std::vector<std::string>{"o 7 10 0 1", "o 8 10 11 2", "n 10 [a b%\n\xff]", "x",
                                        "e 0 1 [/bin/x]", "c 2 [-]", "k 0", "a []", "a [--p=1]",
                                        "h 1", "s 8", "m 4026532305 4026532400"}));
    EXPECT_EQ(read_output("ports-reader 1\nend 0\n"), std::vector<std::string>{});
    for (const char *bad : {
             "", "ports-reader 2\nend 0\n", "ports-reader 1\n", // another version, no end
             "ports-reader 1\nend 0", "ports-reader 1\nend 1\n", "ports-reader 1\nend 0\nx\n",
             "ports-reader 1\no 7 10 0 1\n",                      // cut short
             "ports-reader 1\no 07 10 0 1\nend 1\n",              // a second spelling
             "ports-reader 1\no 7 10 0\nend 1\n", "ports-reader 1\no 7 10 0 1 5\nend 1\n",
             "ports-reader 1\no 4294967296 1 0 1\nend 1\n",       // past 32 bits
             "ports-reader 1\no 7  10 0 1\nend 1\n", "ports-reader 1\nq 1\nend 1\n",
             "ports-reader 1\nn 10 a b\nend 1\n", "ports-reader 1\nn 10 %41\nend 1\n",
             "ports-reader 1\nn 10 %00\nend 1\n", "ports-reader 1\nn 10 %4\nend 1\n",
             "ports-reader 1\nn 10 %0a\nend 1\n", "ports-reader 1\nn 10 \nend 1\n",
             "ports-reader 1\ne 3 0 /x\nend 1\n", "ports-reader 1\nh 2\nend 1\n",
             "ports-reader 1\nx owner\nend 1\n"})
        EXPECT_EQ(read_output(bad), std::vector<std::string>{"refused"}) << bad;
}

} // namespace
