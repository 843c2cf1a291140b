#!/bin/sh
# Recording speed beside the demo's own frame rate, in one run on one machine:
#
#   record-bench.sh DEMO RECORDER FRAMEHOOK CHIPTUNE DATA-DIR [SECONDS] [ROUNDS]
#
# Each round plays a generated track of SECONDS (default 10) once in the demo
# on a private Xvfb display at 1920x1080, its swaps timed by the frame hook,
# and records the same track with mosaic-record at 1920x1080 and 60 frames a
# second twice: once with H.264 encoding, once with a stand-in ffmpeg that
# only reads the frames, which leaves rendering and read-back. Each side's
# rate is its frames over the time they took, start-up left out: for the
# demo its first ten frames, for the recorder everything up to its first
# progress line, the first frame's shader compilation included; its last
# line comes once ffmpeg has finished the file. Rounds (default 3) alternate
# the three so that all meet the same load; the medians and their ratios are
# printed.
set -e
if [ $# -lt 5 ]; then
  echo "usage: record-bench.sh DEMO RECORDER FRAMEHOOK CHIPTUNE DATA-DIR [SECONDS] [ROUNDS]" >&2
  exit 1
fi
demo=$(realpath "$1") recorder=$(realpath "$2") hook=$(realpath "$3")
chiptune=$(realpath "$4") data=$(realpath "$5") seconds=${6:-10} rounds=${7:-3}
work=$(mktemp -d "${TMPDIR:-/tmp}/record-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$data/mosaic.vert" "$data/mosaic.frag" "$data/sdf.frag" "$data/scroller.png" "$work"
"$chiptune" --seconds "$seconds" "$work/chiptune2.ogg"
cd "$work"

# The recorder's rate between its first and last progress lines: each line
# gives the frames done and their mean rate since the recording began, so
# frames over rate is the time at that line.
rate() {
  tr '\r' '\n' | sed -n 's/^frame \([0-9]*\)\/[0-9]*, \([0-9.]*\) frames\/s.*/\1 \2/p' |
    awk 'NR == 1 { n0 = $1; t0 = $1 / $2 } { n = $1; t = $1 / $2 } END { printf "%.2f\n", (n - n0) / (t - t0) }'
}

median() {
  sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

: > demo-fps
: > demo-median-fps
: > record-fps
: > readback-fps
mkdir reader
printf '#!/bin/sh\nexec cat > /dev/null\n' > reader/ffmpeg
chmod +x reader/ffmpeg
round=1
while [ "$round" -le "$rounds" ]; do
  # The demo's swaps after its first ten frames (shader compilation, first
  # uploads). Its median frame time, shown beside its rate, leaves out the
  # slower frames that the rate, like the recorder's, counts.
  rm -f times
  FRAMEHOOK_DIR="$work" FRAMEHOOK_TIMES="$work/times" LD_PRELOAD="$hook" SDL_AUDIODRIVER=dummy \
    xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" "$demo" > /dev/null
  awk 'NR == 10 { first = $2 } NR > 10 { n++; last = $2 } END { printf "%.2f\n", n / ((last - first) / 1e9) }' \
    times >> demo-fps
  awk 'NR > 10 { print ($2 - last) / 1e6 } { last = $2 }' times \
    | median | awk '{ printf "%.2f\n", 1000 / $1 }' >> demo-median-fps
  "$recorder" out.mp4 2> record-log
  rate < record-log >> record-fps
  PATH="$work/reader:$PATH" "$recorder" out.mp4 2> record-log
  rate < record-log >> readback-fps
  round=$((round + 1))
done

demo_fps=$(median < demo-fps)
record_fps=$(median < record-fps)
readback_fps=$(median < readback-fps)
echo "frames a second at 1920x1080, median of $rounds rounds, a ${seconds} s track"
echo "demo (Xvfb, swaps timed):              $demo_fps   (rounds: $(tr '\n' ' ' < demo-fps))"
echo "demo, 1 / median frame time:           $(median < demo-median-fps)   (rounds: $(tr '\n' ' ' < demo-median-fps))"
echo "mosaic-record, no encoding:            $readback_fps   (rounds: $(tr '\n' ' ' < readback-fps))"
echo "mosaic-record (EGL, H.264, 60 fps):    $record_fps   (rounds: $(tr '\n' ' ' < record-fps))"
echo "$readback_fps $demo_fps" | awk '{ printf "no encoding / demo:                    %.2f\n", $1 / $2 }'
echo "$record_fps $demo_fps" | awk '{ printf "recording / demo:                      %.2f\n", $1 / $2 }'
