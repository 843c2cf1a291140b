#!/bin/sh
# How far the demo's sound runs behind its pictures at a real sound device:
# the kernel's loopback card in the qemu guest that run-vivid.sh boots, what
# is played into hw:Loopback,0,0 recorded as it comes out of hw:Loopback,1,0
# with the card's own time stamps (loopback-capture). Run inside the guest:
#
#   run-vivid.sh loopback-bench.sh DEMO FRAMEHOOK LOOPBACK-CAPTURE SYNC-OFFSET DATA-DIR [RUNS] [SECONDS]
#
# The demo plays the real track with trivial shaders that keep mosaic.vert's
# timeline (the guest emulates its processor) on a small private Xvfb,
# RUNS times (default 5) a case, until its pictures have shown SECONDS
# (default 15) of the track:
#   alsa             the demo's ALSA output, no sound server
#   pulse tsched=0   PulseAudio's module-alsa-sink on the card, woken by the
#                    card's interrupts, as PulseAudio chooses in a VM
#   pulse tsched=1   the same, timer-based asked for: PulseAudio 16 turns
#                    that off in any VM and says so (printed), so in this
#                    guest the two cases are one mode
#   pipewire         PipeWire with WirePlumber, its one sink an ALSA sink on
#                    the card, made by hand: the guest has no udev for
#                    WirePlumber to find the card by
# Every second of a recording, the lag of the frames whose sound it holds
# (sync-offset): positive when the sound comes after its picture. A case's
# min, median, 95th percentile of |lag| and max are over all its runs'
# seconds pooled.
set -e
if [ $# -lt 5 ]; then
  echo "usage: loopback-bench.sh DEMO FRAMEHOOK LOOPBACK-CAPTURE SYNC-OFFSET DATA-DIR [RUNS] [SECONDS]" >&2
  exit 1
fi
demo=$(realpath -e "$1") hook=$(realpath -e "$2") capture=$(realpath -e "$3") offset=$(realpath -e "$4")
data=$(realpath -e "$5")
runs=${6:-5} seconds=${7:-15}
[ -e /proc/asound/Loopback ] || { echo "no loopback card: run this in run-vivid.sh's guest" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/loopback-bench-XXXXXX")
servers=""
cleanup() {
  for pid in $servers; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
started=$(date +%s)

mkdir -p "$work/run" "$work/demo" "$work/lags" "$work/config/alsa"
chmod 700 "$work/run"
cp "$data"/* "$work/demo/"
printf '#version 330 core\nuniform sampler1D uPalette;\nout vec4 colour;\nvoid main() { colour = vec4(texelFetch(uPalette, 5, 0).rgb, 1.0); }\n' \
  > "$work/demo/sdf.frag"
printf '#version 330 core\nflat in vec4 vShow;\nout vec4 colour;\nvoid main() { colour = vec4(vShow.rgb, 1.0); }\n' \
  > "$work/demo/mosaic.frag"
ffmpeg -v error -i "$data/chiptune2.ogg" -f s16le -ac 1 -ar 48000 "$work/track.raw"
# ALSA's default device, for the demo, is the card's playback end.
echo 'pcm.!default { type plug slave.pcm "hw:Loopback,0,0" }' > "$work/config/alsa/asoundrc"
export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" PULSE_SERVER="unix:$work/run/pulse/native"
export GALLIVM_PERF=nopt

Xvfb -displayfd 3 -screen 0 160x100x24 -nolisten tcp 3> "$work/display" >/dev/null 2>&1 &
servers="$servers $!"
until [ -s "$work/display" ]; do sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

dbus-daemon --session --address="unix:path=$work/run/bus" --nofork --nopidfile >/dev/null 2>&1 &
servers="$servers $!"
until [ -S "$work/run/bus" ]; do sleep 0.05; done
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/run/bus"

# A first run, of a track a tenth of a second long, leaves the shaders in
# Mesa's cache.
mkdir "$work/warm-up"
cp "$work/demo"/* "$work/warm-up/"
ffmpeg -v error -f lavfi -i anullsrc=r=44100:d=0.1 -c:a libvorbis -y "$work/warm-up/chiptune2.ogg"
(cd "$work/warm-up" && SDL_AUDIODRIVER=dummy "$demo" >/dev/null 2>&1)

stop_servers() {
  for pid in $servers_audio; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  servers_audio=""
}

# Waits until the pictures have shown SECONDS of the track.
wait_shown() {
  until awk -v until="$seconds" '$2 != "-" && $2 - ($3 == "-" ? 0 : $3) > until { found = 1 }
      END { exit !found }' "$work/clock" 2>/dev/null; do
    kill -0 "$playing" 2>/dev/null || { echo "the demo ended early" >&2; exit 1; }
    sleep 0.1
  done
}

# One run with the card's other end recorded; sync-offset's lines go to OUT.
run_once() { # SDL-DRIVER OUT
  rm -f "$work/clock" "$work/capture.raw" "$work/capture.times"
  "$capture" hw:Loopback,1,0 "$work/capture.raw" "$work/capture.times" > "$work/capture.out" &
  capturing=$!
  until grep -q recording "$work/capture.out" 2>/dev/null; do
    kill -0 "$capturing" 2>/dev/null || { echo "loopback-capture did not start" >&2; exit 1; }
    sleep 0.05
  done
  (cd "$work/demo" && exec env SDL_AUDIODRIVER="$1" LD_PRELOAD="$hook" FRAMEHOOK_CLOCK="$work/clock" \
    "$demo" >/dev/null 2>"$work/demo.err") &
  playing=$!
  wait_shown
  kill -TERM "$playing" 2>/dev/null || true
  wait "$playing" || true
  kill -TERM "$capturing"
  wait "$capturing" || { cat "$work/capture.out" >&2; exit 1; }
  "$offset" "$work/capture.raw" "$work/capture.times" "$work/track.raw" "$work/clock" 0 > "$2" && return
  echo "no sound of the track came out of the card" >&2
  return 1
}

# A run's median lag over its seconds, with the least and the most.
run_lags() { # OUT
  awk '$1 == "second" { print $3 }' "$1" | sort -n | awk '{ v[NR] = $1 } END {
    printf "%.1f ms (%.1f to %.1f)", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

measure() { # CASE SDL-DRIVER
  i=1
  while [ "$i" -le "$runs" ]; do
    run_once "$2" "$work/lags/$1.$i" || return 1
    echo "$1 run $i: median lag $(run_lags "$work/lags/$1.$i")"
    i=$((i + 1))
  done
}

# Pooled seconds of a case's runs.
summary() { # CASE
  cat "$work/lags/$1".* | awk '$1 == "second" { print $3 }' | sort -n > "$work/seconds"
  p95=$(awk '{ print $1 < 0 ? -$1 : $1 }' "$work/seconds" | sort -n |
    awk '{ v[NR] = $1 } END { printf "%.1f", v[int(0.95 * NR + 0.999)] }')
  awk -v p95="$p95" -v runs="$runs" '{ v[NR] = $1 } END {
    if (!NR) { print "no seconds measured"; exit }
    printf "min %7.1f  median %7.1f  p95 |lag| %7s  max %7.1f  (%d s, %d runs)\n",
      v[1], v[int((NR + 1) / 2)], p95, v[NR], NR, runs }' "$work/seconds"
}

measure alsa alsa

# A server holds the card open between runs: in loopback-capture's format,
# which the card's two ends must share.
card_format="format=s16le rate=48000 channels=2"

for tsched in 0 1; do
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --log-target=stderr -L module-native-protocol-unix \
    -L "module-alsa-sink device=hw:Loopback,0,0 sink_name=loopback tsched=$tsched $card_format" >/dev/null 2>"$work/pulse.log" &
  servers_audio="$!"
  servers="$servers $servers_audio"
  until pactl set-default-sink loopback 2>/dev/null; do sleep 0.1; done
  measure "pulse tsched=$tsched" pulseaudio
  # PulseAudio may turn timer-based scheduling off on its own, and says so.
  grep -i "timer-based scheduling" "$work/pulse.log" || true
  stop_servers
done

# WirePlumber leaves when it cannot watch logind's folders, which the
# guest's own /run lacks.
mkdir -p /run/systemd/seats /run/systemd/sessions /run/systemd/users /run/systemd/machines
servers_audio=""
pipewire >/dev/null 2>&1 & servers_audio="$servers_audio $!"
until [ -S "$work/run/pipewire-0" ]; do sleep 0.05; done
wireplumber >/dev/null 2>"$work/wireplumber.log" & servers_audio="$servers_audio $!"
servers="$servers $servers_audio"
pw-cli create-node adapter '{ factory.name=api.alsa.pcm.sink node.name=loopback media.class=Audio/Sink
  api.alsa.path="hw:Loopback,0,0" audio.format=S16LE audio.rate=48000 audio.channels=2 object.linger=true }' \
  >/dev/null
until pw-cli ls Node | grep -q 'node.name = "loopback"'; do sleep 0.1; done
measure pipewire pipewire || { echo "WirePlumber said:" >&2; cat "$work/wireplumber.log" >&2; }
stop_servers
echo
echo "lag of the sound behind its picture at the loopback card, ms, each second of every run:"
for name in alsa "pulse tsched=0" "pulse tsched=1" pipewire; do
  printf "  %-16s %s\n" "$name" "$(summary "$name")"
done
echo "bench took $(( $(date +%s) - started )) s"
