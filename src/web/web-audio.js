// The track through Web Audio. The browser decodes it and plays it once the
// page may make sound; the place heard at any moment comes from the output's
// own timestamps, as the desktop takes it from its sound server.
Module.audio = (() => {
  // Buffered for steady playback rather than the least latency: drawing on
  // a software GL can take every core, and the delay is counted anyway.
  const context = new AudioContext({latencyHint: 'playback'});
  let track = null;         // the decoded track
  let source = null;        // what plays it now
  let startContext = 0;     // the context's time at which `from` is played
  let from = 0;             // where in the track it started, in seconds
  let startWhenDecoded = false;

  // The context's time heard at `performanceMs`: the output says which
  // sample it played out when. Until it has said so, the context's own clock
  // less the output's delays stands in.
  function heardContextTime(performanceMs) {
    const stamp = context.getOutputTimestamp();
    if (stamp.performanceTime > 0)
      return stamp.contextTime + (performanceMs - stamp.performanceTime) / 1000;
    return context.currentTime - context.baseLatency - (context.outputLatency || 0);
  }

  function play() {
    if (source)
      source.stop();
    source = new AudioBufferSourceNode(context, {buffer: track});
    source.connect(context.destination);
    startContext = context.currentTime;
    source.start(startContext, from);
  }

  return {
    set from(seconds) { from = seconds; },
    decode(bytes) {
      context.decodeAudioData(bytes).then(decoded => {
        track = decoded;
        if (startWhenDecoded)
          play();
      }, () => Module.fail("Couldn't open 'chiptune2.ogg': not a track this browser decodes"));
    },
    // Called from a click or a key, the only moments a page may start sound.
    start(seconds) {
      from = seconds;
      context.resume();
      if (track)
        play();
      else
        startWhenDecoded = true;
    },
    heardAt(performanceMs) {
      if (!source)
        return from;
      const since = Math.max(heardContextTime(performanceMs) - startContext, 0);
      return Math.min(from + since, track.duration);
    },
    over(performanceMs) {
      return source !== null && this.heardAt(performanceMs) >= track.duration;
    },
  };
})();
