#!/bin/sh
# The guest's init: load the disk drivers, wait for the disks, run the tool,
# print everything on the serial console between markers, power off.
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in /modules/*.ko; do
    insmod "$module" 2>/dev/null || echo "insmod $(basename "$module") failed"
done
tries=0
while { [ "$(ls /sys/block | grep -c '^sd')" -lt 3 ] || [ ! -e /sys/block/nvme0n1 ]; } && [ $tries -lt 60 ]; do
    sleep 1
    tries=$((tries + 1))
done
echo "@@BLOCK-BEGIN@@"
for disk in /sys/block/*; do
    echo "$(basename "$disk") removable=$(cat "$disk/removable") rotational=$(cat "$disk/queue/rotational" 2>/dev/null)"
done
echo "@@BLOCK-END@@"
echo "@@JSON-BEGIN@@"
quoxssd --json
echo "@@JSON-END rc=$?@@"
# A longer run, so that the polling thread reads the drive a few times.
quoxssd watch > /tmp/watch.txt 2>&1 &
watcher=$!
sleep 4
kill -TERM $watcher
sleep 1
echo "@@WATCH-BEGIN@@"
cat /tmp/watch.txt
echo "@@WATCH-END@@"
echo "@@LOG-BEGIN@@"
cat /var/log/vexlor/vexlor.log
echo "@@LOG-END@@"
poweroff -f
