// The page around the demo: its files fetched into the module's file system
// before it starts, the line over the picture, the state that people
// and tests can read (window.mosaic), and the clicks and keys of a person.
// `shown` is the place in the track (s) heard when the last frame is seen,
// which it shows unless the pointer holds the clock; `seenAt` is when that
// is, on performance.now()'s clock.
const mosaic = window.mosaic = {state: 'loading', frames: 0, notice: '', shown: 0, seenAt: 0};
const noticeLine = document.getElementById('notice');
const query = new URLSearchParams(location.search);
const startSeconds = Math.max(parseFloat(query.get('t')) || 0, 0);

function show(state, notice) {
  mosaic.state = state;
  mosaic.notice = notice;
  noticeLine.textContent = notice;
  noticeLine.hidden = notice === '';
}

Module.canvas = document.getElementById('canvas');

// Every file is fetched from the page's load on, the track decoded beside
// the rest; the module starts once it has the files the first picture is
// drawn from. A missing file is left out: the scene then says which, as on
// the desktop.
Module.audio.prefetch('chiptune2.ogg');
const fetched = ['mosaic.vert', 'mosaic.frag', 'sdf.frag', 'scroller.png'].map(name => fetch(name)
  .then(response => response.ok ? response.arrayBuffer() : null)
  .catch(() => null)
  .then(bytes => ({name: name, bytes: bytes})));
Module.preRun = [() => {
  addRunDependency('files');
  Promise.all(fetched).then(files => {
    // emcc 3.1.6's optimizer takes no destructuring here.
    for (const file of files) {
      if (file.bytes)
        FS.writeFile(file.name, new Uint8Array(file.bytes));
    }
    removeRunDependency('files');
  });
  Module.audio.from = startSeconds;
}];

// A fatal report is the last line written to standard error before the
// program exits: "file:line: message". The page shows the message.
let lastError = '';
Module.printErr = line => {
  console.error(line);
  lastError = line;
};
Module.fail = message => show('failed', message);
Module.quit = (status, thrown) => {
  if (status !== 0)
    Module.fail(lastError.replace(/^\S+:\d+: /, ''));
  throw thrown;
};
Module.onAbort = what => Module.fail('The page stopped: ' + what);

Module.frameDrawn = (heardSeconds, seenMs) => {
  mosaic.frames++;
  mosaic.shown = heardSeconds;
  mosaic.seenAt = seenMs;
  if (mosaic.state === 'loading') {
    show('ready', 'Click or press a key to play the demo with its sound');
    setTimeout(() => Module.audio.open());
  }
};
Module.ended = () => show('ended', 'The end. Click or press a key to play it again');

function toggleFullscreen() {
  if (document.fullscreenElement)
    document.exitFullscreen();
  else
    document.documentElement.requestFullscreen();
}

// Sound may start only from a person's click or key; one that comes before
// the first picture starts the sound as soon as the track is decoded.
function play() {
  if (mosaic.state === 'loading' || mosaic.state === 'ready') {
    Module.audio.start(startSeconds);
    show('playing', '');
  } else if (mosaic.state === 'ended') {
    Module.audio.start(0);
    show('playing', '');
    Module._resumeDrawing();
  }
}

addEventListener('keydown', event => {
  if (event.key === 'f' || event.key === 'F')
    toggleFullscreen();
  else if (event.key !== 'Escape')
    play();
});
addEventListener('click', play);
addEventListener('dblclick', toggleFullscreen);

const cameraLine = document.getElementById('camera');
Module.cameraProblem = why => {
  cameraLine.textContent = why + '; the scene plays instead';
  cameraLine.hidden = false;
};
