#!/bin/sh
# /init of the kernel tier's guest (busybox sh). Brings up the appliance's
# partitions on the kernel's own drivers, runs the test programs against them
# and reports on the console:
#   KTIER begin NAME / KTIER exit NAME STATUS   around each program
#   KTIER ok NAME / KTIER FAIL NAME             one check of a script
#   KTIER done                                  everything ran
# Kernel command line: kt.steps=clean,stress,mfgtool,bad,bench picks the
# steps (default all but bench, which only prints figures), kt.filter=PATTERN narrows test_kernel's cases (a GoogleTest
# positive pattern), kt.shell=1 opens a shell on the console instead.
/bin/busybox --install -s /bin
export PATH=/bin:/opt/kt/bin LD_LIBRARY_PATH=/lib HOME=/root
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mount -t tmpfs tmpfs /tmp
mkdir -p /pending /etc/tq /var/log /root
hostname kernel-tier
syslogd -O /var/log/messages
export MFGTEST_SYSLOG=/var/log/messages GTEST_COLOR=no

filter='*'
steps=clean,stress,mfgtool,bad
shell=0
for arg in $(cat /proc/cmdline); do
    case $arg in
        kt.filter=*) filter=${arg#kt.filter=} ;;
        kt.steps=*) steps=${arg#kt.steps=} ;;
        kt.shell=1) shell=1 ;;
    esac
done

# Modules in dependency order; nandsim and mtdram get their layouts below.
for m in $(cat /lib/modules/order); do
    case $m in nandsim|mtdram) ;; *) insmod /lib/modules/$m.ko || echo "KTIER FAIL insmod $m" ;; esac
done
# bootcfg: 256 KiB in 64 KiB blocks, written a byte at a time (NOR-like RAM).
insmod /lib/modules/mtdram.ko total_size=256 erase_size=64 || echo "KTIER FAIL insmod mtdram"

# NAND: 128 MiB, 2 KiB pages, 128 KiB blocks, cut into the appliance's
# partitions (in blocks): cfg 4, mfg 1, sysa_kernel 32, sysb_kernel 32,
# sysa_code 128, and the rest.
nand() {
    rmmod nandsim 2>/dev/null
    insmod /lib/modules/nandsim.ko id_bytes=0xec,0xf1,0x00,0x15 parts=4,1,32,32,128 "$@" ||
        echo "KTIER FAIL insmod nandsim $*"
    rm -f /dev/tqrd.*
    for d in /sys/class/mtd/mtd*; do
        n=${d##*/}
        case $n in *ro) continue ;; esac
        case $(cat "$d/name") in
            "mtdram test device") names=rbootcfg ;;
            "NAND simulator partition 0") names="cfg0 rcfg0" ;;
            "NAND simulator partition 1") names=rmfg ;;
            "NAND simulator partition 2") names=rsysa_kernel ;;
            "NAND simulator partition 3") names=rsysb_kernel ;;
            "NAND simulator partition 4") names=rsysa_code ;;
            *) names= ;;
        esac
        for a in $names; do ln -s "$n" "/dev/tqrd.$a"; done
    done
}

run() {  # run NAME PROGRAM ARGS...: one test program
    name=$1
    shift
    echo "KTIER begin $name"
    "$@"
    echo "KTIER exit $name $?"
}

# Correctable bit flips on every NAND read (at most one per page, which
# the software ECC always corrects).
nand bitflips=1
if [ $shell = 1 ]; then
    echo "kernel tier shell: test programs in /opt/kt/bin, syslog in /var/log/messages"
    setsid cttyhack sh
    poweroff -f
fi
step() { case ,$steps, in *,$1,*) return 0 ;; esac; return 1; }
cd /tmp || exit 1
step clean && run kernel.clean test_kernel --gtest_filter="$filter-BadBlocks.*"
# Two guest CPUs: processes and threads racing through the kernel's own locks.
step stress && run stress env MFGTEST_REAL_DEVICES=1 test_reliability --gtest_filter='StressTest.*'
step mfgtool && run mfgtool sh /opt/kt/mfgtool_run.sh
step bench && run bench.kernel tool_bench --devices 7 && run bench.provision provision_bench --devices 7

# Bad blocks: the store's first block, system A kernel's first and system A
# code's fourth (absolute blocks 0, 5 and 72).
nand badblocks=0,5,72
step bad && run kernel.bad test_kernel --gtest_filter="$filter-Clean.*"

echo "KTIER done"
sync
poweroff -f
