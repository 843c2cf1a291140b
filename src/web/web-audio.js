// The track through Web Audio. Its file is fetched and decoded by the
// browser from the page's load on, beside the rest of the start, and played
// once the page may make sound; the place heard at any moment comes from the
// output's own timestamps, as the desktop takes it from its sound server.
Module.audio = (() => {
  // Decodes without opening the output, at the rate outputs mostly run at.
  const decoder = new OfflineAudioContext(2, 1, 48000);
  // The output, opened once the first picture is up: opening it holds the
  // page's thread for half a second here.
  let context = null;
  const decoding = {};      // each file asked for: the promise of its track
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

  // Why a file gives no track, in the desktop's words.
  function decode(name) {
    return decoding[name] = decoding[name] || fetch(name)
      .catch(() => Promise.reject('No such file or directory'))
      .then(response => response.ok ? response.arrayBuffer()
                                    : Promise.reject(response.status === 404 ? 'No such file or directory'
                                                                             : response.statusText))
      .then(bytes => decoder.decodeAudioData(bytes).catch(() => Promise.reject('not an Ogg Vorbis track')));
  }

  return {
    set from(seconds) { from = seconds; },
    open() {
      // Buffered for steady playback rather than the least latency: drawing
      // on a software GL can take every core, and the delay is counted anyway.
      if (!context)
        context = new AudioContext({latencyHint: 'playback'});
    },
    // Starts fetching and decoding a file before it is asked for.
    prefetch: decode,
    use(name) {
      decode(name).then(decoded => {
        track = decoded;
        if (startWhenDecoded)
          play();
      }, why => Module.fail(`Couldn't open '${name}': ${why}`));
    },
    // Called from a click or a key, the only moments a page may start sound.
    start(seconds) {
      from = seconds;
      this.open();
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
