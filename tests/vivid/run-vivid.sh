#!/bin/sh
# Runs a command against the kernel's vivid V4L2 test driver: Debian's own
# kernel boots under qemu from a busybox initramfs that loads vivid, mounts
# this machine's root read-only over virtio-9p under a scratch tmpfs (an
# overlay, so that every path stays visible and writable in the guest) and
# runs the command there, as root, in the current directory.
#
# usage: run-vivid.sh COMMAND [ARGUMENT...]
#
# The guest has three vivid instances: two cameras, /dev/video0 and
# /dev/video1, each only a video capture node, and /dev/video2, only a video
# output node. A test that unplugs them all runs `rmmod vivid`, and plugs them
# in again with `insmod /vivid.ko $(cat /vivid.params)`. It also has one
# sound card, "Loopback" (snd-aloop), whose sound played into device 0 comes
# out of device 1 as the card's clock runs. ASAN_OPTIONS and UBSAN_OPTIONS
# are passed on.
#
# The kernel package is downloaded with apt once; its kernel image and the
# modules the guest needs are kept under ${XDG_CACHE_HOME:-~/.cache}, keyed by
# the package's version and the list of modules, and later runs boot from
# that cache alone.
# Passes iff the command exits 0 in the guest.
set -eu

[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGUMENT...]" >&2; exit 2; }
boot_timeout=${VIVID_BOOT_TIMEOUT:-300}
cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/mosaic-demo/vivid-kernel

fail() {
    echo "run-vivid: $*" >&2
    exit 1
}

for tool in qemu-system-x86_64 depmod cpio gzip dpkg-deb apt-get apt-cache timeout; do
    command -v "$tool" >/dev/null || fail "missing tool '$tool' (packages: qemu-system-x86 kmod cpio busybox-static)"
done
[ -x /bin/busybox ] || fail "missing /bin/busybox (package busybox-static)"

# The versioned package that Debian's linux-image-amd64 currently points to,
# as "name version".
kernel_package() {
    name=$(apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -1)
    [ -n "$name" ] || return 0
    version=$(apt-cache policy "$name" 2>/dev/null | sed -n 's/^ *Candidate: //p' | head -1)
    [ -n "$version" ] && [ "$version" != "(none)" ] && echo "$name $version"
}

package=$(kernel_package)
if [ -z "$package" ]; then
    apt-get update -q >&2 || true
    package=$(kernel_package)
fi
[ -n "$package" ] || fail "apt knows no linux-image-amd64 package; cannot get a kernel"
# The modules the guest loads, each after what it depends on: vivid, the
# kernel's loopback sound card and what mounts the host's root.
guest_modules="vivid snd-aloop virtio_pci 9pnet_virtio 9p overlay"
# A change to the list unpacks the kernel again.
kernel_dir=$cache_root/$(echo "$package" | tr ' :' '_-')-$(echo "$guest_modules" | cksum | cut -d' ' -f1)

# Kernel image plus the guest's modules and everything they depend on,
# numbered in load order (modules.dep lists a module's dependencies deepest last).
unpack_kernel() {
    work=$(mktemp -d "$cache_root/unpack.XXXXXX")
    name=${package% *}
    (cd "$work" && apt-get download -q "$name=${package#* }" >&2) || {
        apt-get update -q >&2 || true
        (cd "$work" && apt-get download -q "$name=${package#* }" >&2)
    } || { rm -rf "$work"; fail "cannot download kernel package $package"; }
    tree=$work/tree
    dpkg-deb -x "$work"/*.deb "$tree"
    version=$(ls "$tree/lib/modules")
    depmod -b "$tree" "$version"
    modules=$tree/lib/modules/$version
    for module in $guest_modules; do
        path=$(grep -o "^kernel/[^:]*/$module\.ko[^:]*" "$modules/modules.dep") ||
            { rm -rf "$work"; fail "kernel package has no $module module"; }
        for m in $(grep "^$path:" "$modules/modules.dep" | cut -d: -f2); do echo "$m"; done | tac
        echo "$path"
    done >"$work/load-order"
    load_order=$(awk '!seen[$0]++' "$work/load-order")

    mkdir -p "$work/kernel/modules"
    cp "$tree/boot/vmlinuz-$version" "$work/kernel/vmlinuz"
    n=10
    for m in $load_order; do
        file=$(basename "$m")
        target=$work/kernel/modules/$n-${file%%.ko*}.ko
        case $file in
            *.ko.xz) xz -dc "$modules/$m" >"$target" ;;
            *.ko.zst) zstd -qdc "$modules/$m" >"$target" ;;
            *.ko.gz) gzip -dc "$modules/$m" >"$target" ;;
            *) cp "$modules/$m" "$target" ;;
        esac
        n=$((n + 1))
    done
    echo "$version" >"$work/kernel/version"
    rm -rf "$kernel_dir"
    mv "$work/kernel" "$kernel_dir"
    rm -rf "$work"
}

if [ ! -f "$kernel_dir/version" ]; then
    mkdir -p "$cache_root"
    unpack_kernel
fi

quote() {
    printf "'%s' " "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"
}

root=$(mktemp -d)
log=$(mktemp)
initramfs=$(mktemp)
trap 'rm -rf "$root" "$log" "$log.raw" "$initramfs"' EXIT
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/host" "$root/scratch" "$root/guest" "$root/modules"
cp /bin/busybox "$root/bin/busybox"
cp "$kernel_dir"/modules/*.ko "$root/modules/"
{
    echo "cd $(quote "$PWD") || exit 1"
    for name in ASAN_OPTIONS UBSAN_OPTIONS; do
        eval "value=\${$name-}"
        [ -z "$value" ] || echo "export $name=$(quote "$value")"
    done
    printf 'exec '
    for arg in "$@"; do quote "$arg"; done
    echo
} >"$root/command"
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
vivid_params="n_devs=3 node_types=0x1,0x1,0x100 multiplanar=1,1,1"
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in /modules/*.ko; do
    case $m in
        *-vivid.ko) insmod "$m" $vivid_params ;;
        *) insmod "$m" ;;
    esac || echo "insmod $m failed"
done
mount -t 9p -o ro,trans=virtio,version=9p2000.L,msize=512000 hostroot /host || echo "cannot mount the host's root"
mount -t tmpfs scratch /scratch
mkdir /scratch/upper /scratch/work
mount -t overlay guest -o lowerdir=/host,upperdir=/scratch/upper,workdir=/scratch/work /guest ||
    echo "cannot lay the scratch over the host's root"
mount -t proc proc /guest/proc
mount -t sysfs sys /guest/sys
mount -t devtmpfs dev /guest/dev
mkdir -p /guest/dev/shm /guest/dev/pts
mount -t tmpfs shm /guest/dev/shm
mount -t devpts pts /guest/dev/pts
# The guest's own run-time state: no udev daemon runs here, whatever the host runs.
mount -t tmpfs run /guest/run
i=0
while [ ! -c /guest/dev/video2 ] && [ $i -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
done
[ -c /guest/dev/video2 ] || echo "vivid created no /dev/video2"
cp /modules/*-vivid.ko /guest/vivid.ko
echo "$vivid_params" >/guest/vivid.params
cp /command /guest/run-vivid-command
chroot /guest /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root TMPDIR=/tmp LANG=C.UTF-8 /bin/sh /run-vivid-command
echo "VIVID-COMMAND-EXIT: $?"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$initramfs"

echo "booting $(cat "$kernel_dir/version") with vivid"
status=0
timeout "$boot_timeout" qemu-system-x86_64 -accel tcg -m 1536M -smp 2 \
    -nodefaults -no-reboot -display none -serial stdio -monitor none \
    -kernel "$kernel_dir/vmlinuz" -initrd "$initramfs" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -append "console=ttyS0 quiet panic=-1" </dev/null >"$log.raw" 2>&1 || status=$?
tr -d '\r' <"$log.raw" >"$log"
cat "$log"
[ "$status" -ne 124 ] || fail "guest did not finish within ${boot_timeout}s"
[ "$status" -eq 0 ] || fail "qemu failed with status $status"
grep -qx 'VIVID-COMMAND-EXIT: 0' "$log" || fail "the command failed in the guest"
echo "run-vivid: the command passed in the guest"
