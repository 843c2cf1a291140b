// What run-vivid.sh's guest has: /dev/video0 is vivid's webcam-like capture
// node, /dev/video1 a second such camera, and /dev/video2 a third vivid
// instance that only has a video output node.
#pragma once

#include "webcam.h"

#include <string>

const std::string captureNode = "/dev/video0";
const std::string secondCaptureNode = "/dev/video1";
const std::string outputNode = "/dev/video2";

// The next frame, waiting out the time-outs of a slow guest.
const RGBImage& nextFrame(Webcam& cam);
