#!/usr/bin/env bash
# Installs what a job needs when it is missing: Debian packages through apt-get (as
# root, or through sudo) and the browser-test packages from the npm lock file.
# Usage: scripts/install-deps.sh run|test|package|bench|fuzz
set -euo pipefail
cd "$(dirname "$0")/.."

job=${1:-test}

# "what to look for  package": a command name, or an absolute path for files.
build_needs=(
  "g++ g++" "cmake cmake" "ninja ninja-build" "python3 python3" "esbuild esbuild"
  "/usr/include/rapidjson/document.h rapidjson-dev"
)
run_needs=("lighttpd lighttpd")
# The Windows build (windres makes its version resource) and the signing tool.
package_needs=(
  "x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix"
  "x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64"
  "osslsigncode osslsigncode"
)
test_needs=(
  "${package_needs[@]}"
  "/usr/include/gtest/gtest.h libgtest-dev"
  "unshare util-linux" "ip iproute2" "ss iproute2"
  "x86_64-w64-mingw32-objdump binutils-mingw-w64-x86-64"
  "lintian lintian" "openssl openssl"
  "/usr/src/googletest/googletest/CMakeLists.txt googletest"
  "wine wine" "/usr/lib/wine/wine64 wine64" "flock util-linux"
  "localedef libc-bin" "/usr/share/i18n/locales/ja_JP locales"
  "/usr/share/i18n/charmaps/UTF-8.gz locales"
  "lighttpd lighttpd" "chromium chromium"
  "node nodejs" "npm npm"
  "dockerd docker.io" "/usr/bin/docker docker.io" "/var/lib/dpkg/info/busybox-static.list busybox-static"
  # podman run by root with CNI networking (conmon, runc, the CNI plugins' portmap).
  "podman podman" "conmon conmon" "runc runc" "/usr/lib/cni/portmap containernetworking-plugins"
  # pasta, an account's own forwarder into a namespace of its own.
  "pasta passt" "setpriv util-linux"
  # podman run by an account of the test's own: subordinate ids and slirp4netns.
  "newuidmap uidmap" "slirp4netns slirp4netns" "useradd passwd"
  # The metrics answer: promtool checks its bytes, and a Prometheus of the test's own
  # scrapes it (the package's own service, where it starts, is left alone).
  "prometheus prometheus" "promtool prometheus"
  # The reader's file capabilities (setcap, getcap, setpriv), and the package's
  # maintainer scripts, which the package test runs with dpkg.
  "setcap libcap2-bin" "getcap libcap2-bin" "setpriv util-linux" "adduser adduser"
)
bench_needs=("ab apache2-utils" "hyperfine hyperfine" "strace strace")
# The fuzzer runtime is asked of the compiler below: its path names clang's version.
fuzz_needs=("clang clang")

needs=("${build_needs[@]}")
case "$job" in
  run) needs+=("${run_needs[@]}") ;;
  test) needs+=("${test_needs[@]}") ;;
  package) needs+=("${package_needs[@]}") ;;
  bench) needs+=("${test_needs[@]}" "${bench_needs[@]}") ;;
  fuzz) needs+=("${fuzz_needs[@]}") ;;
  *) echo "install-deps: unknown job '$job' (run, test, package, bench or fuzz)" >&2; exit 2 ;;
esac

missing=()
for entry in "${needs[@]}"; do
  what=${entry% *}
  pkg=${entry#* }
  if [[ $what == /* ]]; then
    [[ -e $what ]] && continue
  else
    command -v "$what" >/dev/null 2>&1 && continue
  fi
  [[ " ${missing[*]} " == *" $pkg "* ]] || missing+=("$pkg")
done

apt_install() {
  echo "install-deps: installing $*"
  if [[ $(id -u) -eq 0 ]]; then
    sudo=()
  elif command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
  else
    echo "install-deps: need root or sudo to install: $*" >&2
    exit 1
  fi
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "$@"
}

if ((${#missing[@]})); then
  apt_install "${missing[@]}"
fi

# libFuzzer's runtime comes with the clang release in use: clang prints its full path
# when it has one, the bare name when not.
if [[ $job == fuzz ]]; then
  runtime=$(clang -print-file-name=libclang_rt.fuzzer-x86_64.a)
  if [[ $runtime != /* ]]; then
    apt_install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
    runtime=$(clang -print-file-name=libclang_rt.fuzzer-x86_64.a)
    [[ $runtime == /* ]] || { echo "install-deps: clang has no fuzzer runtime" >&2; exit 1; }
  fi
fi

# Browser-test packages, exactly as the lock file pins them.
if [[ $job == test || $job == bench ]] && [[ -f tests/browser/package-lock.json ]]; then
  stamp=tests/browser/node_modules/.package-lock.json
  if [[ ! -f $stamp || tests/browser/package-lock.json -nt $stamp ]]; then
    (cd tests/browser && npm ci --no-audit --no-fund)
  fi
fi
