#!/bin/sh
# How far the demo's sound runs behind its pictures over whole runs on the
# desktop's sound servers, and in a video of the recorder:
#
#   sync-bench.sh DEMO PREVIEW RECORDER FRAMEHOOK TONE-SYNC HELPERS DATA-DIR [RUNS] [BEFORE-DIR]
#
# HELPERS is the folder built from this one's sources; monitor-capture and
# pipewire-capture are the tests' own, beside TONE-SYNC. Each server runs
# privately (its own XDG_RUNTIME_DIR and D-Bus session bus) with a sink,
# "bench", that records what it is given at every run: first PipeWire with
# WirePlumber and pipewire-pulse, where the sink is pipewire-capture's own,
# then PulseAudio, whose null sink's monitor is recorded through the pulse
# protocol (monitor-capture). The programs play on a private Xvfb display of
# 1920x1080, where SDL asks for a sound driver through its pulseaudio one,
# RUNS times (default 5) a case, until their pictures have shown 15 s of the
# track. A frame counts from when it is seen: on Xvfb when its swap returns,
# on Weston when the compositor says it presented it. The cases (CASES, when
# set, names those to run, space-separated, with "_" for a space):
#   pipewire                   the graph's own quantum, as the program
#                              asks for it
#   quantum 256, 1024, 2048    forced (clock.force-quantum), and checked
#                              against how many samples the sink hands over
#                              at a time
#   delay 200 ms               into a sink that delays by 200 ms and reports
#                              it, as a Bluetooth headset does (delay-sink),
#                              ahead of "bench"
#   stall                      the program stopped (SIGSTOP) for 0.5 s once
#                              its pictures show 10 s of the track
#   weston, weston stall       as pipewire and stall, on Weston's headless
#                              backend at 1920x1080 (with weston-seat, since
#                              SDL's Wayland driver needs a seat), which
#                              repaints on its own clock after the program's
#                              swap
#   preview                    the preview paused after 2 s, sent back to the
#                              start, resumed and played 13 s from there
#   whole track                played to its end, for what of its end was
#                              never drawn or heard
#   restart                    PipeWire, WirePlumber and pipewire-pulse
#                              ended and started again once the pictures
#                              show 5 s; the sink recorded again from then:
#                              per run, how long after the server is back
#                              the sink has sound again, and the lag after
#   pulseaudio                 PulseAudio's null sink, whose monitor has the
#                              sound ahead of the sink's reported latency, a
#                              real device's delay, which is added
#   video                      the recorder's tone, below
# Every second of a recording, the lag of the frames whose sound it holds
# (sync-offset): positive when the sound comes after its picture. A case's
# min, median, 95th percentile of |lag| and max are over all its runs'
# seconds pooled. BEFORE-DIR, when given, holds an earlier build
# (mosaic-demo, mosaic-preview, mosaic-record, data/); its runs alternate with
# this build's under the same load. Last, the offset read back from a video
# that each recorder makes of a tone (tone-sync).
set -e
if [ $# -lt 7 ]; then
  echo "usage: sync-bench.sh DEMO PREVIEW RECORDER FRAMEHOOK TONE-SYNC HELPERS DATA-DIR [RUNS] [BEFORE-DIR]" >&2
  exit 1
fi
demo=$(realpath -e "$1") preview=$(realpath -e "$2") recorder=$(realpath -e "$3") hook=$(realpath -e "$4")
tone=$(realpath -e "$5") helpers=$(realpath -e "$6") data=$(realpath -e "$7")
runs=${8:-5} before=${9:+$(realpath -e "$9")}
work=$(mktemp -d "${TMPDIR:-/tmp}/sync-bench-XXXXXX")
servers=""
cleanup() {
  for pid in $servers; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
started=$(date +%s)

mkdir -p "$work/run" "$work/after" "$work/before" "$work/lags"
chmod 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run" PULSE_SERVER="unix:$work/run/pulse/native" SDL_AUDIODRIVER=pulseaudio
unset PIPEWIRE_REMOTE
cp "$data"/* "$work/after/"
[ -z "$before" ] || cp "$before"/data/* "$work/before/"
ffmpeg -v error -i "$data/chiptune2.ogg" -f s16le -ac 1 -ar 48000 "$work/track.raw"
track_seconds=$(awk -v bytes="$(stat -c %s "$work/track.raw")" 'BEGIN { printf "%.3f", bytes / 2 / 48000 }')

# Xvfb picks a free display, as others may run beside the bench.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3> "$work/display" >/dev/null 2>&1 &
servers="$servers $!"
until [ -s "$work/display" ]; do sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

dbus-daemon --session --address="unix:path=$work/run/bus" --nofork --nopidfile >/dev/null 2>&1 &
servers="$servers $!"
until [ -S "$work/run/bus" ]; do sleep 0.05; done
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/run/bus"

# A server takes the null sink once pactl reaches it, and makes a sink the
# default once it is listed; PipeWire's session manager may refuse both for a
# moment after its start.
use_sink() { # NAME
  until pactl list short sinks | grep -q "	$1	"; do sleep 0.1; done
  until pactl set-default-sink "$1" 2>/dev/null; do sleep 0.1; done
}
start_sink() {
  until pactl load-module module-null-sink sink_name=bench >/dev/null 2>&1; do sleep 0.1; done
  use_sink bench
}

stop_servers() {
  for pid in $servers_audio; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  servers_audio=""
}

# Waits until the pictures have shown SECONDS of the track, after the clock
# went back if SEEK is 1.
wait_shown() { # SECONDS SEEK
  until awk -v until="$1" -v seek="$2" '$2 != "-" {
      if ($2 < last - 0.5) back = 1
      last = $2
      if ($2 - ($3 == "-" ? 0 : $3) > until && (back || !seek)) found = 1
    } END { exit !found }' "$work/clock" 2>/dev/null; do
    kill -0 "$playing" 2>/dev/null || { echo "$(basename "$program") ended early" >&2; exit 1; }
    sleep 0.1
  done
}

# The latency the default sink reports while it plays, in ms.
sink_latency() {
  pactl list sinks | awk -v sink="$(pactl get-default-sink)" '
    $1 == "Name:" { this = ($2 == sink) }
    this && $1 == "Latency:" { printf "%.1f", $2 / 1000; exit }'
}

start_capture() {
  rm -f "$work/capture.out"
  "$capture" "$capture_source" "$work/capture.raw" "$work/capture.times" > "$work/capture.out" &
  capturing=$!
  until grep -q recording "$work/capture.out" 2>/dev/null; do
    kill -0 "$capturing" 2>/dev/null || { echo "$capture did not start" >&2; exit 1; }
    sleep 0.05
  done
}

# One run of PROGRAM (mosaic-demo or mosaic-preview) from BUILD-DIR's data,
# as CASE asks, with the monitor recorded; sync-offset's lines go to OUT.
run_once() { # BUILD-DIR PROGRAM CASE OUT
  program=$2
  extra=0
  rm -f "$work/clock" "$work/capture.raw" "$work/capture.times"
  start_capture
  delaying=""
  case "$3" in
    pulseaudio) ;;
    "delay 200 ms")
      "$helpers/delay-sink" delayed bench 200 > "$work/delay.out" &
      delaying=$!
      until grep -q ready "$work/delay.out" 2>/dev/null; do
        kill -0 "$delaying" 2>/dev/null || { echo "delay-sink did not start" >&2; exit 1; }
        sleep 0.05
      done
      use_sink delayed ;;
    *) use_sink bench ;;
  esac
  screen=""
  case "$3" in
    weston*) screen="WAYLAND_DISPLAY=bench-wayland SDL_VIDEODRIVER=wayland" ;;
  esac
  (cd "$1" && exec env $screen LD_PRELOAD="$hook" FRAMEHOOK_CLOCK="$work/clock" "$2" >/dev/null 2>&1) &
  playing=$!
  case "$3" in
    preview)
      # The pause leaves half a second of silence for the start to come out of.
      wait_shown 2 0
      xdotool key space
      sleep 0.5
      xdotool key Home
      wait_shown -1 1
      xdotool key space
      wait_shown 13 1 ;;
    stall | "weston stall")
      wait_shown 10 0
      kill -STOP "$playing"
      sleep 0.5
      kill -CONT "$playing"
      wait_shown 15 0 ;;
    pulseaudio)
      wait_shown 5 0
      extra=$(sink_latency)
      wait_shown 15 0 ;;
    "whole track") wait "$playing" || true ;;
    restart)
      wait_shown 5 0
      kill -TERM "$capturing"
      wait "$capturing" || true
      stop_servers
      start_pipewire
      # The frames' clock is CLOCK_MONOTONIC, as the sink's cycles are.
      back=$(awk 'END { print $4 }' "$work/clock")
      start_capture
      use_sink bench
      wait_shown 15 0 ;;
    *) wait_shown 15 0 ;;
  esac
  kill -TERM "$playing" 2>/dev/null || true
  wait "$playing" || true
  kill -TERM "$capturing" $delaying
  wait "$capturing" || true
  [ -z "$delaying" ] || wait "$delaying" || true
  "$helpers/sync-offset" "$work/capture.raw" "$work/capture.times" "$work/track.raw" "$work/clock" "$extra" > "$4"
  echo "added $extra" >> "$4"
  [ "$3" != restart ] || awk -v back="$back" 'NR == 1 { printf "back %.0f\n", ($1 - back) / 1e6 }' \
    "$work/capture.times" >> "$4"
}

# A forced quantum must be what the sink hands over at a time.
check_quantum() { # CASE OUT
  case "$1" in
    "quantum "*)
      got=$(awk '$1 == "quantum" { print $2 }' "$2")
      [ "$got" = "${1#quantum }" ] || { echo "$1: the sink handed over $got samples at a time" >&2; exit 1; } ;;
  esac
}

# The median of the numbers on standard input, "-" of none.
median_of() {
  sort -n | awk '{ v[NR] = $1 } END { if (NR) printf "%.1f", v[int((NR + 1) / 2)]; else printf "-" }'
}

# A run's median lag over its seconds, with the least and the most.
run_lags() { # OUT
  awk '$1 == "second" { print $3 }' "$1" | sort -n | awk '{ v[NR] = $1 } END {
    printf "%.1f ms (%.1f to %.1f)", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

measure() { # CASE PROGRAM
  case " ${CASES:-$1} " in
    *" $(echo "$1" | tr ' ' _) "* | *" $1 "*) ;;
    *) return 0 ;;
  esac
  i=1
  while [ "$i" -le "$runs" ]; do
    b=""
    if [ -n "$before" ]; then
      run_once "$work/before" "$before/$(basename "$2")" "$1" "$work/lags/$1.before.$i"
      check_quantum "$1" "$work/lags/$1.before.$i"
      b=$(run_lags "$work/lags/$1.before.$i")
    fi
    run_once "$work/after" "$2" "$1" "$work/lags/$1.after.$i"
    check_quantum "$1" "$work/lags/$1.after.$i"
    echo "$1 run $i: median lag ${b:+before $b, }after $(run_lags "$work/lags/$1.after.$i")," \
      "$(awk '$1 == "quantum" || ($1 == "added" && $2 != 0) { printf "%s %s ", $1, $2 }
        $1 == "stall" { printf "a gap of over 0.3 s between frames " }
        $1 == "back" { printf "sound back %s ms after the server " , $2 }' "$work/lags/$1.after.$i")"
    i=$((i + 1))
  done
}

# PipeWire with its session manager and pulse server. A socket left by
# one that was ended would answer nothing.
start_pipewire() {
  rm -f "$work/run/pipewire-0"
  pipewire >/dev/null 2>&1 & servers_audio="$servers_audio $!"
  # The session manager gives up on a server it cannot reach yet.
  until [ -S "$work/run/pipewire-0" ]; do sleep 0.05; done
  wireplumber >/dev/null 2>&1 & servers_audio="$servers_audio $!"
  pipewire-pulse >/dev/null 2>&1 & servers_audio="$servers_audio $!"
  servers="$servers $servers_audio"
}

capture="$(dirname "$tone")/pipewire-capture" capture_source=bench
servers_audio=""
start_pipewire
measure pipewire "$demo"
for quantum in 256 1024 2048; do
  pw-metadata -n settings 0 clock.force-quantum "$quantum" >/dev/null
  measure "quantum $quantum" "$demo"
done
pw-metadata -n settings 0 clock.force-quantum 0 >/dev/null
measure stall "$demo"
weston --backend=headless-backend.so --width=1920 --height=1080 --socket=bench-wayland --idle-time=0 \
  --modules="$helpers/weston-seat.so" >/dev/null 2>&1 &
servers="$servers $!"
until [ -S "$work/run/bench-wayland" ]; do sleep 0.05; done
measure weston "$demo"
measure "weston stall" "$demo"
measure preview "$preview"
measure "delay 200 ms" "$demo"
measure "whole track" "$demo"
measure restart "$demo"
stop_servers

capture="$(dirname "$tone")/monitor-capture" capture_source=bench.monitor
pulseaudio -n --daemonize=no --exit-idle-time=-1 --log-target=stderr \
  -L module-native-protocol-unix >/dev/null 2>&1 &
servers_audio="$!"
servers="$servers $servers_audio"
start_sink
measure pulseaudio "$demo"
stop_servers

# The recorder: a tone out of silence, and a picture that turns white when
# the timeline of the build's own "mosaic.vert" reaches it.
video_offset() { # BUILD-DIR RECORDER
  mkdir -p "$work/tone"
  cp "$1/mosaic.vert" "$1/scroller.png" "$work/tone/"
  "$tone" "$2" "$work/tone" 60
}

# Pooled seconds of a case's runs of one build.
summary() { # CASE BUILD
  cat "$work/lags/$1.$2".* | awk '$1 == "second" { print $3 }' | sort -n > "$work/seconds"
  p95=$(awk '{ print $1 < 0 ? -$1 : $1 }' "$work/seconds" | sort -n |
    awk '{ v[NR] = $1 } END { printf "%.1f", v[int(0.95 * NR + 0.999)] }')
  awk -v p95="$p95" -v runs="$runs" '{ v[NR] = $1 } END {
    printf "min %7.1f  median %7.1f  p95 |lag| %7s  max %7.1f  (%d s, %d runs)\n",
      v[1], v[int((NR + 1) / 2)], p95, v[NR], NR, runs }' "$work/seconds"
}

# Medians over the runs of the stall's lag before and after, and of how
# long until it is back within 20 ms; runs where it never is are counted.
stall_summary() { # CASE BUILD
  cat "$work/lags/$1.$2".* | awk '$1 == "stall"' > "$work/stalls"
  printf "before %s ms, after %s ms; back within 20 ms after %s frames, %s ms (never in %s of %s runs)\n" \
    "$(awk '{ print $2 }' "$work/stalls" | median_of)" "$(awk '{ print $3 }' "$work/stalls" | median_of)" \
    "$(awk '$4 != "-" { print $4 }' "$work/stalls" | median_of)" \
    "$(awk '$5 != "-" { print $5 }' "$work/stalls" | median_of)" \
    "$(awk '$4 == "-"' "$work/stalls" | wc -l)" "$(wc -l < "$work/stalls")"
}

# Medians over the runs of the end of the track never drawn, and of its
# sound never heard before its own last sound, both in ms.
end_summary() { # BUILD
  cat "$work/lags/whole track.$1".* | awk '$1 == "end"' > "$work/ends"
  printf "of the %s s track, never drawn %s ms, sound cut %s ms (max %s; %s runs)\n" "$track_seconds" \
    "$(awk -v s="$track_seconds" '{ print (s - $2) * 1000 }' "$work/ends" | median_of)" \
    "$(awk '{ print ($4 - $3) * 1000 }' "$work/ends" | median_of)" \
    "$(awk '{ print ($4 - $3) * 1000 }' "$work/ends" | sort -n | tail -1)" "$(wc -l < "$work/ends")"
}

echo
echo "lag of the sound behind its picture, ms, each second of every run:"
builds="after"
[ -z "$before" ] || builds="before after"
for name in pipewire "quantum 256" "quantum 1024" "quantum 2048" stall weston "weston stall" preview "delay 200 ms" \
  "whole track" restart pulseaudio; do
  [ -n "$(ls "$work/lags/$name".* 2>/dev/null)" ] || continue
  for build in $builds; do
    printf "  %-16s %-6s %s\n" "$name" "$build" "$(summary "$name" "$build")"
  done
done
for build in $builds; do
  [ -z "$(ls "$work/lags/stall.$build".* 2>/dev/null)" ] || echo "  stall $build: $(stall_summary stall "$build")"
  [ -z "$(ls "$work/lags/weston stall.$build".* 2>/dev/null)" ] ||
    echo "  weston stall $build: $(stall_summary "weston stall" "$build")"
  [ -z "$(ls "$work/lags/whole track.$build".* 2>/dev/null)" ] || echo "  end $build: $(end_summary "$build")"
done
case " ${CASES:-video} " in
  *" video "*)
    [ -z "$before" ] || echo "  video before: $(video_offset "$work/before" "$before/mosaic-record") ms"
    echo "  video after:  $(video_offset "$work/after" "$recorder") ms" ;;
esac
echo "bench took $(( $(date +%s) - started )) s"
