// What run-vivid.sh's guest has: /dev/video0 is vivid's webcam-like capture
// node; a second vivid instance has another, /dev/video1, and a video output
// node, /dev/video2.
#pragma once

#include "webcam.h"

#include <string>

const std::string captureNode = "/dev/video0";
const std::string secondCaptureNode = "/dev/video1";
const std::string outputNode = "/dev/video2";

// The next frame, waiting out the time-outs of a slow guest.
const RGBImage& nextFrame(Webcam& cam);
