#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo need and this
# machine lacks. Needs root; does nothing when everything is there.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
# The Windows build: the MinGW-w64 cross compiler, and Wine to run what it builds.
for pkg in cmake g++ make ccache libgtest-dev libbenchmark-dev curl lighttpd apache2 util-linux \
  g++-mingw-w64-x86-64 wine wine64 \
  clang libclang-rt-14-dev hyperfine chromium \
  nginx fcgiwrap lintian dpkg-dev file libxml2-utils groff-base prometheus-node-exporter \
  samba smbnetfs openssh-server openssh-client sshfs fuse3 glusterfs-server glusterfs-client \
  ceph-mon ceph-osd ceph-mds ceph-fuse ceph-common \
  pkg-config libfuse3-dev libtoml11-dev libspdlog-dev python3; do
  have "$pkg" || need+=("$pkg")
done
# The test run: ccache, through which the packages take the files the other builds compiled.
# The fuzz targets: clang and its libFuzzer and sanitizer runtimes. The benchmarks: hyperfine.
# The share tests and benchmarks: Samba with smbnetfs, OpenSSH's server with sshfs, FUSE 3, and
# GlusterFS (glusterd and its FUSE client) and Ceph (a monitor, an OSD, an MDS, ceph-fuse and
# the ceph command) for the farms of web servers on one cluster file system. The
# power-cut tests: LazyFS, built from its source against FUSE 3, toml11 and spdlog. The soak: its
# driver and checker, in Python 3 (the standard library only).
# The browser check: Debian's chromium, driven by playwright-core from npm (node's own npm,
# when node came with one, else Debian's). The packages: CPack's DEB generator finds the
# simulator's libraries with dpkg-shlibdeps (dpkg-dev) and file; the package test runs lintian
# and serves through nginx with fcgiwrap besides lighttpd and Apache; xmllint reads web.config;
# groff renders the check's manual page as text for the zip, and the remote host's example
# command out of its manual page for the package test, whose node exporter
# (prometheus-node-exporter) serves the units' figures.
command -v npm >/dev/null 2>&1 || need+=(npm)
if [ "${#need[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${need[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi
# The packages start their own servers; the tests and the demo start theirs on other ports. The
# farm tests start a glusterd of their own on a loopback address's port 24007, which the
# package's would hold on every address.
for service in apache2 lighttpd nginx fcgiwrap smbd nmbd glusterd prometheus-node-exporter; do
  if command -v service >/dev/null 2>&1; then service "$service" stop >/dev/null 2>&1 || true; fi
done
