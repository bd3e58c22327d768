#!/usr/bin/env bash
# Runs the shipped tool and libraries on a real Linux kernel: Debian's own
# kernel boots under QEMU with one emulated SATA SSD, one rotating SATA disk,
# one removable USB stick and one NVMe drive, runs quoxssd in the guest and
# prints what it saw on the serial console; the host then checks it. Every
# drive command goes through the kernel's real ioctl paths (libata, AHCI,
# SCSI disk, the NVMe driver's admin pass-through). The first run of each
# kernel leaves NVMe monitoring off, the second switches it on.
#
#   tests/vm/run-vm-tests.sh [BUILD_DIR]      (default: build)
#
# Needs qemu-system-x86, busybox-static, cpio and kmod (tools/install-deps
# --vm installs them) and fetches the kernel image package with apt-get
# download. Runs under software emulation (KVM is not relied on).
set -euo pipefail

build=$(realpath "${1:-build}")
here=$(dirname "$(realpath "$0")")
tool="$build/quoxssd"
[ -x "$tool" ] || { echo "no $tool: build first" >&2; exit 2; }

work=$(mktemp -d /tmp/vexlor-vm.XXXXXX)
trap 'rm -rf "$work"' EXIT

# What QEMU tells the guest about the drives and the BIOS.
ssd_model="VEXLOR QEMU Test SSD"
ssd_serial="VXSSD000123"
ssd_firmware="VX1.0"
bios_version="VEXLOR-VM-BIOS-42"
nvme_serial="VXNVME000789"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
expect_in() {   # file, text, what
    grep -qF -- "$2" "$1" || fail "$3: no \"$2\""
}

fetch_kernel() {   # package name -> directory with boot/ and lib/modules/
    local package=$1 target=$work/$1
    mkdir -p "$target"
    (cd "$work" && apt-get download "$package" >/dev/null 2>&1) || return 1
    dpkg-deb -x "$work/${package}"_*.deb "$target"
    echo "$target"
}

# Modules for the disks, dependencies first, as modprobe would load them.
resolve_modules() {   # kernel dir, version, module names...
    local root=$1 version=$2
    shift 2
    local dep=$root/lib/modules/$version/modules.dep
    local -a order=()
    visit() {
        local path
        path=$(grep -m 1 -E "(^|/)$1\.ko(\.[a-z]+)?:" "$dep" | cut -d: -f1) || true
        [ -n "$path" ] || return 0
        local d
        for d in $(grep -E "^$path:" "$dep" | cut -d: -f2); do
            visit "$(basename "${d%%.ko*}")"
        done
        local seen
        for seen in "${order[@]:-}"; do [ "$seen" = "$path" ] && return 0; done
        order+=("$path")
    }
    local m
    for m in "$@"; do visit "$m"; done
    printf '%s\n' "${order[@]}"
}

make_initramfs() {   # kernel dir, version, vexlor.ini text -> initrd path
    local root=$1 version=$2 ini=$3 dir=$work/initramfs
    rm -rf "$dir"
    mkdir -p "$dir"/{bin,sbin,proc,sys,dev,tmp,modules,etc/vexlor,var/log/vexlor,usr/bin,lib64,lib/x86_64-linux-gnu}
    cp /bin/busybox "$dir/bin/busybox"
    for applet in sh mount insmod sleep cat echo ls grep poweroff kill mkdir basename; do
        ln -s busybox "$dir/bin/$applet"
    done
    local n=0 path
    while read -r path; do
        n=$((n + 1))
        local name
        name=$(printf '%02d-%s' "$n" "$(basename "$path")")
        case "$path" in
            *.xz) xz -dc "$root/lib/modules/$version/$path" > "$dir/modules/${name%.xz}" ;;
            *.zst) zstd -dqc "$root/lib/modules/$version/$path" > "$dir/modules/${name%.zst}" ;;
            *) cp "$root/lib/modules/$version/$path" "$dir/modules/$name" ;;
        esac
    done < <(resolve_modules "$root" "$version" crct10dif_generic ahci sd_mod xhci-pci usb-storage nvme)
    # The tool and every library it loads, from the build tree.
    cp "$tool" "$dir/usr/bin/quoxssd"
    LD_LIBRARY_PATH="$build" ldd "$tool" | awk '/=> \// {print $3} /^\t\/lib64/ {print $1}' | while read -r lib; do
        case "$lib" in
            /lib64/*) cp -L "$lib" "$dir/lib64/" ;;
            *) cp -L "$lib" "$dir/lib/x86_64-linux-gnu/" ;;
        esac
    done
    printf 'Level=4\n' > "$dir/etc/vexlor/log.conf"
    printf '%s' "$ini" > "$dir/etc/vexlor/vexlor.ini"
    cp "$here/guest-init.sh" "$dir/init"
    chmod +x "$dir/init"
    (cd "$dir" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.gz"
    echo "$work/initrd.gz"
}

boot() {   # kernel dir, version, initrd, console log
    local root=$1 version=$2 initrd=$3 console=$4
    truncate -s 64M "$work/ssd.img" "$work/hdd.img" "$work/usb.img" "$work/nvme.img"
    timeout 240 qemu-system-x86_64 -accel tcg -m 1024 -smp 2 -nographic -no-reboot \
        -kernel "$root/boot/vmlinuz-$version" -initrd "$initrd" \
        -append "console=ttyS0 panic=-1 quiet loglevel=1" \
        -smbios "type=0,version=$bios_version" \
        -device ahci,id=ahci \
        -drive if=none,id=ssd,file="$work/ssd.img",format=raw \
        -device ide-hd,drive=ssd,bus=ahci.0,rotation_rate=1,model="$ssd_model",serial="$ssd_serial",ver="$ssd_firmware" \
        -drive if=none,id=hdd,file="$work/hdd.img",format=raw \
        -device ide-hd,drive=hdd,bus=ahci.1,model="VEXLOR QEMU Rotating Disk",serial=VXHDD000456 \
        -device qemu-xhci,id=xhci \
        -drive if=none,id=stick,file="$work/usb.img",format=raw \
        -device usb-storage,drive=stick,bus=xhci.0,removable=on \
        -drive if=none,id=nvm,file="$work/nvme.img",format=raw \
        -device nvme,drive=nvm,serial="$nvme_serial" \
        > "$console" 2>&1 || true
    tr -d '\r' < "$console" > "$console.txt"
}

section() {   # console, name -> the lines between its markers
    # Kernel messages can land on a marker's line, so markers are found
    # anywhere in a line.
    sed -n "/@@$2-BEGIN@@/,/@@$2-END/p" "$1" | sed '1d;$d'
}

check_run() {   # console text, label, method, nvme (on or off)
    local console=$1 label=$2 method=$3 nvme=$4
    echo "== $label (NVMe monitoring $nvme)"
    section "$console" JSON > "$work/json.txt"
    section "$console" LOG > "$work/log.txt"
    cat "$work/json.txt"
    grep -q '@@JSON-END rc=0@@' "$console" || fail "$label: quoxssd --json did not exit 0"
    local ssds expected=1
    [ "$nvme" = on ] && expected=2
    ssds=$(grep -c '"device"' "$work/json.txt" || true)
    [ "$ssds" = "$expected" ] || fail "$label: $ssds SSDs reported, expected exactly $expected"
    # One drive per line of the JSON list.
    grep '"device": "sd' "$work/json.txt" > "$work/sata.txt" || true
    expect_in "$work/sata.txt" "\"model\": \"$ssd_model\"" "$label"
    expect_in "$work/sata.txt" "\"serial\": \"$ssd_serial\"" "$label"
    expect_in "$work/sata.txt" "\"firmware\": \"$ssd_firmware\"" "$label"
    expect_in "$work/sata.txt" '"power_on_hours": 1,' "$label"
    expect_in "$work/sata.txt" '"percentage_used": null,' "$label"
    expect_in "$work/sata.txt" '"percentage_used_source": 2,' "$label"
    expect_in "$work/sata.txt" '"failure_imminent": false' "$label"
    if [ "$nvme" = on ]; then
        # QEMU 7.2's controller: its own model text and firmware (the QEMU
        # version), and a health log that reports no wear and counts the
        # hours since it started.
        grep '"device": "nvme0n1"' "$work/json.txt" > "$work/nvme.txt" || fail "$label: nvme0n1 not reported"
        expect_in "$work/nvme.txt" "\"serial\": \"$nvme_serial\"" "$label NVMe"
        expect_in "$work/nvme.txt" '"model": "QEMU NVMe Ctrl"' "$label NVMe"
        expect_in "$work/nvme.txt" '"firmware": "7.2.' "$label NVMe"
        expect_in "$work/nvme.txt" '"power_on_hours": 0,' "$label NVMe"
        expect_in "$work/nvme.txt" '"percentage_used": 0,' "$label NVMe"
        expect_in "$work/nvme.txt" '"percentage_used_source": 4,' "$label NVMe"
        expect_in "$work/nvme.txt" '"source": "nvme health log"' "$label NVMe"
        expect_in "$work/nvme.txt" '"failure_imminent": false' "$label NVMe"
        expect_in "$work/log.txt" "SsdManager::initialise - Found fixed nvme disk nvme0n1" "$label log"
    else
        grep -q 'nvme' "$work/json.txt" && fail "$label: an NVMe drive was reported with its switch off"
        grep -qi 'nvme' "$work/log.txt" && fail "$label: the log mentions NVMe with its switch off"
    fi
    grep -q 'Rotating Disk\|VXHDD' "$work/json.txt" && fail "$label: the rotating disk was reported"
    # The log: identification, the Device Statistics failure, the polls.
    expect_in "$work/log.txt" "model: $ssd_model" "$label log"
    expect_in "$work/log.txt" "serial no: $ssd_serial" "$label log"
    expect_in "$work/log.txt" "Non-rotating SSD Yes" "$label log"
    expect_in "$work/log.txt" "Non-rotating SSD No" "$label log (the rotating disk)"
    expect_in "$work/log.txt" "BiosVersion::getBiosVersion - returning $bios_version" "$label log"
    expect_in "$work/log.txt" "SmartIo::getSsdDeviceStatisticsLogData$method - failed to get log directory" "$label log"
    expect_in "$work/log.txt" "readThread - entered" "$label log"
    local polls
    polls=$(grep -c 'SsdDevice::getSsdData$' "$work/log.txt" || true)
    [ "$polls" -ge 3 ] || fail "$label: $polls reads of the drive logged, expected at least 3"
    echo "-- $label: $polls reads of the drive; log lines of the Device Statistics path:"
    grep -m 8 -E 'SmartIo::getSmartLogData|Sense:|getSsdDeviceStatisticsLogData' "$work/log.txt" || true
    local removable
    removable=$(section "$console" BLOCK | grep -c 'removable=1' || true)
    [ "$removable" -ge 1 ] || fail "$label: the guest saw no removable disk (USB stick)"
}

run_kernel() {   # package
    local package=$1 root version
    root=$(fetch_kernel "$package") || { echo "cannot fetch $package"; return 1; }
    version=$(ls "$root/lib/modules")
    depmod -b "$root" "$version"
    echo "== kernel $version"
    for method in AtaSmart Spt; do
        local ini="PollRate=1
" nvme=off
        [ "$method" = Spt ] && ini="PollRate=1
SptLogAccess=1
MonitorNvme=1
" nvme=on
        local initrd started attempt
        initrd=$(make_initramfs "$root" "$version" "$ini")
        for attempt in 1 2; do
            started=$(date +%s)
            boot "$root" "$version" "$initrd" "$work/console-$method.log"
            echo "-- boot and run took $(( $(date +%s) - started )) s"
            # A guest kernel that dies before our init runs (seen now and then
            # under software emulation on a busy host) says nothing about the
            # tool: boot it once more.
            if [ "$attempt" = 1 ] && ! grep -q '@@BLOCK-BEGIN@@' "$work/console-$method.log.txt"; then
                echo "-- the guest never reached our init; booting again. Its last lines:"
                tail -n 5 "$work/console-$method.log.txt"
                continue
            fi
            break
        done
        if ! grep -q '@@JSON-END' "$work/console-$method.log.txt"; then
            tail -n 40 "$work/console-$method.log.txt"
            fail "$version/$method: the guest did not finish"
            continue
        fi
        section "$work/console-$method.log.txt" BLOCK
        check_run "$work/console-$method.log.txt" "$version/$method" "$method" "$nvme"
    done
}

# awk reads the whole list: one that left early could kill apt-cache with
# SIGPIPE and, under pipefail, this script with it.
default_kernel=$(apt-cache depends linux-image-amd64 \
    | awk '!found && $1 == "Depends:" && $2 ~ /^linux-image-.*-amd64$/ {print $2; found = 1}')
run_kernel "$default_kernel"

# The backports kernel, when the registry offers one: its sense data for
# aborted pass-through commands is laid out differently.
backports=$(apt-cache search --names-only '^linux-image-6\.1[2-9].*-amd64$' 2>/dev/null | awk '{print $1}' \
    | grep -v -e unsigned -e '-rt-' -e cloud -e dbg | sort -V | tail -n1 || true)
if [ -n "$backports" ]; then
    run_kernel "$backports"
else
    echo "== no backports kernel in the package registry; skipped"
fi

if [ "$failures" -gt 0 ]; then
    echo "VM tests: $failures failed checks"
    exit 1
fi
echo "VM tests: all checks passed"
