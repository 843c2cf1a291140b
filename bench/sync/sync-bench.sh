#!/bin/sh
# How far the demo's sound runs behind its pictures on the desktop's sound
# servers, and in a video of the recorder:
#
#   sync-bench.sh DEMO PREVIEW RECORDER FRAMEHOOK TONE-SYNC CAPTURE OFFSET DATA-DIR [RUNS] [BEFORE-DIR]
#
# Each server runs privately (its own XDG_RUNTIME_DIR and D-Bus session bus)
# with a null sink as its default: PipeWire with WirePlumber and
# pipewire-pulse, the demo once through SDL's pulseaudio driver and once
# through its pipewire driver, then PulseAudio. The demo plays RUNS times
# (default 10) for each, on a private Xvfb display, until its pictures have
# shown 3 s of the track; the preview as often, paused after 2 s, sent back
# to the start and resumed, and played on to 3 s from there. The sink's monitor is recorded
# beside them. The
# offset of a run is the median over its frames of when the sound of the
# track time a frame showed left the server, less when that frame read its
# clock (sync-offset); positive means the sound comes after the
# picture. BEFORE-DIR, when given, holds an earlier build (mosaic-demo,
# mosaic-preview, mosaic-record, data/) whose shader holds the pictures 4096/22050 s behind
# the clock; its runs alternate with this build's under the same load. Each
# backend's min, median and max follow, and the offset read back from a
# video that each recorder makes of a tone (tone-sync).
set -e
if [ $# -lt 8 ]; then
  echo "usage: sync-bench.sh DEMO PREVIEW RECORDER FRAMEHOOK TONE-SYNC CAPTURE OFFSET DATA-DIR [RUNS] [BEFORE-DIR]" >&2
  exit 1
fi
demo=$(realpath "$1") preview=$(realpath "$2") recorder=$(realpath "$3") hook=$(realpath "$4")
tone=$(realpath "$5") capture=$(realpath "$6") offset=$(realpath "$7") data=$(realpath "$8")
runs=${9:-10} before=${10:+$(realpath "${10}")}
work=$(mktemp -d "${TMPDIR:-/tmp}/sync-bench-XXXXXX")
servers=""
cleanup() {
  for pid in $servers; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

mkdir -p "$work/run" "$work/after" "$work/before"
chmod 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run" PULSE_SERVER="unix:$work/run/pulse/native"
unset PIPEWIRE_REMOTE
cp "$data"/* "$work/after/"
[ -z "$before" ] || cp "$before"/data/* "$work/before/"
ffmpeg -v error -i "$data/chiptune2.ogg" -t 2 -f s16le -ac 1 -ar 48000 "$work/track.raw"

display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 640x360x24 -nolisten tcp >/dev/null 2>&1 &
servers="$servers $!"
export DISPLAY="$display"
until [ -e "/tmp/.X11-unix/X${display#:}" ]; do sleep 0.1; done

dbus-daemon --session --address="unix:path=$work/run/bus" --nofork --nopidfile >/dev/null 2>&1 &
servers="$servers $!"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/run/bus"

# A server takes the null sink once pactl reaches it, and makes it the
# default once the sink is listed; PipeWire's session manager may refuse both
# for a moment after its start.
start_sink() {
  until pactl load-module module-null-sink sink_name=bench >/dev/null 2>&1; do sleep 0.1; done
  until pactl list short sinks | grep -q bench; do sleep 0.1; done
  until pactl set-default-sink bench 2>/dev/null; do sleep 0.1; done
}

stop_servers() {
  for pid in $servers_audio; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  servers_audio=""
}

# Waits until the pictures have shown SECONDS of the track, after the clock
# went back if SEEK is 1.
wait_shown() { # SECONDS SEEK [SHADER-LATENCY]
  until awk -v until="$1" -v seek="$2" -v l="${3:-}" '$2 != "-" {
      if ($2 < last - 0.5) back = 1
      last = $2
      if ($2 - ($3 == "-" ? l : $3) > until && (back || !seek)) found = 1
    } END { exit !found }' "$work/clock" 2>/dev/null; do
    kill -0 "$playing" 2>/dev/null || { echo "$(basename "$program") ended early" >&2; exit 1; }
    sleep 0.1
  done
}

# One run: the monitor recorded, the program played until its pictures have
# shown 3 s of the track (the preview paused, sent back to the start and
# resumed after 2 s), then the offset.
run_once() { # BUILD-DIR DRIVER PROGRAM [SHADER-LATENCY]
  program=$3
  rm -f "$work/clock" "$work/times" "$work/capture.raw" "$work/capture.times"
  "$capture" bench.monitor "$work/capture.raw" "$work/capture.times" > "$work/capture.out" &
  capturing=$!
  until grep -q recording "$work/capture.out" 2>/dev/null; do sleep 0.05; done
  (cd "$1" && exec env SDL_AUDIODRIVER="$2" LD_PRELOAD="$hook" FRAMEHOOK_CLOCK="$work/clock" \
    FRAMEHOOK_TIMES="$work/times" "$3" >/dev/null 2>&1) &
  playing=$!
  case "$program" in
    *preview)
      # The pause leaves half a second of silence for the start to come out of.
      wait_shown 2 0 "${4:-}"
      xdotool key space
      sleep 0.5
      xdotool key Home
      wait_shown -1 1 "${4:-}"
      xdotool key space
      wait_shown 3.2 1 "${4:-}" ;;
    *) wait_shown 3.2 0 "${4:-}" ;;
  esac
  kill -TERM "$playing" 2>/dev/null || true
  wait "$playing" || true
  kill -TERM "$capturing"
  wait "$capturing" || true
  "$offset" "$work/capture.raw" "$work/capture.times" "$work/track.raw" "$work/clock" ${4:+"$4"}
}

summary() { # FILE
  sort -n "$1" | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "min %6.1f  median %6.1f  max %6.1f  (%d runs)\n", v[1], m, v[NR], NR }'
}

measure() { # NAME DRIVER PROGRAM
  : > "$work/$1.after"
  : > "$work/$1.before"
  i=1
  while [ "$i" -le "$runs" ]; do
    if [ -n "$before" ]; then
      b=$(run_once "$work/before" "$2" "$before/$(basename "$3")" 0.185760)
      echo "$b" >> "$work/$1.before"
    fi
    a=$(run_once "$work/after" "$2" "$3")
    echo "$a" >> "$work/$1.after"
    echo "$1 run $i: sound after picture ${b:+before $b ms, }after $a ms"
    i=$((i + 1))
  done
}

servers_audio=""
pipewire >/dev/null 2>&1 & servers_audio="$servers_audio $!"
wireplumber >/dev/null 2>&1 & servers_audio="$servers_audio $!"
pipewire-pulse >/dev/null 2>&1 & servers_audio="$servers_audio $!"
servers="$servers $servers_audio"
start_sink
measure pipewire-pulse pulseaudio "$demo"
measure pipewire pipewire "$demo"
measure "preview pipewire-pulse" pulseaudio "$preview"
measure "preview pipewire" pipewire "$preview"
stop_servers

pulseaudio -n --daemonize=no --exit-idle-time=-1 --log-target=stderr \
  -L module-native-protocol-unix >/dev/null 2>&1 &
servers_audio="$!"
servers="$servers $servers_audio"
start_sink
measure pulseaudio pulseaudio "$demo"
measure "preview pulseaudio" pulseaudio "$preview"
stop_servers

# The recorder: a tone out of silence, and a picture that turns white when
# the timeline of the build's own "mosaic.vert" reaches it.
video_offset() { # BUILD-DIR RECORDER
  mkdir -p "$work/tone"
  cp "$1/mosaic.vert" "$1/scroller.png" "$work/tone/"
  "$tone" "$2" "$work/tone" 60
}

echo
echo "sound after picture, ms:"
for name in pipewire-pulse pipewire pulseaudio "preview pipewire-pulse" "preview pipewire" "preview pulseaudio"; do
  [ -z "$before" ] || echo "  $name before: $(summary "$work/$name.before")"
  echo "  $name after:  $(summary "$work/$name.after")"
done
[ -z "$before" ] || echo "  video before: $(video_offset "$work/before" "$before/mosaic-record") ms"
echo "  video after:  $(video_offset "$work/after" "$recorder") ms"
