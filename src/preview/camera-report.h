// What the preview tells a person about the cameras: one line a node.
#pragma once

#include "camera-list.h"

#include <string>

// Why `node` shows no picture and what to do about it, naming the node; ""
// for a usable one.
std::string faultLine(const CaptureNode& node);

// What the scene says on standard error when the camera at `path` goes away,
// for the screen.
std::string lostLine(const std::string& path);

// The line a search that found no usable camera ends with.
extern const char* const noCameraLine;

// The node's line in --list-cameras: its path, its driver's name and whether
// it delivers YUYV; `chosen` marks the one --camera alone takes.
std::string listingLine(const CaptureNode& node, bool chosen);

// Every capture node's line on standard output, for --list-cameras.
void printCameraList();
