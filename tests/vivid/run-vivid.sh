#!/bin/sh
# Runs a statically linked test program against the kernel's vivid V4L2 test
# driver: Debian's own kernel boots under qemu from a busybox initramfs that
# loads vivid and its dependencies and then runs the program on /dev/video0.
#
# usage: run-vivid.sh TEST-BINARY CACHE-DIR
#
# The guest has two vivid instances: /dev/video0 with only a video capture
# node and /dev/video1 with only a video output node.
#
# The kernel package is downloaded with apt once and its kernel image and the
# vivid modules are kept in CACHE-DIR; later runs boot from that cache alone.
# Passes iff the guest's gtest run reports success.
set -eu

[ $# -eq 2 ] || { echo "usage: $0 TEST-BINARY CACHE-DIR" >&2; exit 2; }
test_binary=$1
cache=$2
boot_timeout=${VIVID_BOOT_TIMEOUT:-100}

fail() {
    echo "run-vivid: $*" >&2
    exit 1
}

for tool in qemu-system-x86_64 depmod cpio gzip dpkg-deb apt-get timeout; do
    command -v "$tool" >/dev/null || fail "missing tool '$tool' (packages: qemu-system-x86 kmod cpio busybox-static)"
done
[ -x /bin/busybox ] || fail "missing /bin/busybox (package busybox-static)"
[ -x "$test_binary" ] || fail "no test binary at $test_binary"

kernel_dir=$cache/kernel

# The versioned package that Debian's linux-image-amd64 currently points to.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -1
}

download_kernel() {
    package=$(kernel_package)
    if [ -z "$package" ]; then
        apt-get update -q >&2 || true
        package=$(kernel_package)
    fi
    [ -n "$package" ] || fail "apt knows no linux-image-amd64 package; cannot get a kernel"
    mkdir -p "$cache/download"
    rm -f "$cache/download"/*.deb
    if ! (cd "$cache/download" && apt-get download -q "$package" >&2); then
        apt-get update -q >&2 || true
        (cd "$cache/download" && apt-get download -q "$package" >&2) ||
            fail "cannot download kernel package $package"
    fi
}

# Kernel image plus vivid and everything it depends on, numbered in load order
# (modules.dep lists a module's dependencies deepest last).
unpack_kernel() {
    deb=$(ls "$cache"/download/*.deb)
    tree=$cache/unpacked
    rm -rf "$tree" "$kernel_dir.new"
    dpkg-deb -x "$deb" "$tree"
    version=$(ls "$tree/lib/modules")
    depmod -b "$tree" "$version"
    modules=$tree/lib/modules/$version
    vivid=$(grep -o '^kernel/[^:]*/vivid\.ko[^:]*' "$modules/modules.dep") ||
        fail "kernel package has no vivid module"
    deps=$(grep "^$vivid:" "$modules/modules.dep" | cut -d: -f2)
    load_order=$(for m in $deps; do echo "$m"; done | tac; echo "$vivid")

    mkdir -p "$kernel_dir.new/modules"
    cp "$tree/boot/vmlinuz-$version" "$kernel_dir.new/vmlinuz"
    n=10
    for m in $load_order; do
        name=$(basename "$m")
        target=$kernel_dir.new/modules/$n-${name%%.ko*}.ko
        case $name in
            *.ko.xz) xz -dc "$modules/$m" >"$target" ;;
            *.ko.zst) zstd -qdc "$modules/$m" >"$target" ;;
            *.ko.gz) gzip -dc "$modules/$m" >"$target" ;;
            *) cp "$modules/$m" "$target" ;;
        esac
        n=$((n + 1))
    done
    echo "$version" >"$kernel_dir.new/version"
    rm -rf "$tree" "$kernel_dir" "$cache/download"
    mv "$kernel_dir.new" "$kernel_dir"
}

if [ ! -f "$kernel_dir/version" ]; then
    download_kernel
    unpack_kernel
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/tmp" "$root/modules"
cp /bin/busybox "$root/bin/busybox"
cp "$kernel_dir"/modules/*.ko "$root/modules/"
cp "$test_binary" "$root/bin/vivid-test"
# A sanitizer build cannot be static: bring its libraries and loader along.
for lib in $(ldd "$test_binary" 2>/dev/null | grep -o '/[^ ]*'); do
    cp --parents -L "$lib" "$root"
done
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin ASAN_OPTIONS=color=never UBSAN_OPTIONS=color=never
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in /modules/*.ko; do
    case $m in
        *-vivid.ko) insmod "$m" n_devs=2 node_types=0x1,0x100 multiplanar=1,1 ;;
        *) insmod "$m" ;;
    esac || echo "insmod $m failed"
done
i=0
while [ ! -c /dev/video1 ] && [ $i -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
done
[ -c /dev/video1 ] || echo "vivid created no /dev/video1"
cd /tmp
/bin/vivid-test --gtest_color=no
echo "VIVID-TEST-EXIT: $?"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$cache/initramfs.gz"

log=$cache/guest.log
echo "booting $(cat "$kernel_dir/version") with vivid"
status=0
timeout "$boot_timeout" qemu-system-x86_64 -accel tcg -m 512M -smp 1 \
    -nodefaults -no-reboot -display none -serial stdio -monitor none \
    -kernel "$kernel_dir/vmlinuz" -initrd "$cache/initramfs.gz" \
    -append "console=ttyS0 quiet panic=-1" </dev/null >"$log.raw" 2>&1 || status=$?
tr -d '\r' <"$log.raw" >"$log"
cat "$log"
[ "$status" -ne 124 ] || fail "guest did not finish within ${boot_timeout}s"
[ "$status" -eq 0 ] || fail "qemu failed with status $status"
grep -qx 'VIVID-TEST-EXIT: 0' "$log" || fail "tests failed in the guest"
grep -q '^\[  PASSED  \]' "$log" || fail "guest printed no gtest summary"
echo "vivid tests passed"
