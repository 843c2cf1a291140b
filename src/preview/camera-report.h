// What the preview tells a person about the cameras: one line a node.
#pragma once

#include "camera-list.h"

#include <string>

// Why `node` shows no picture and what to do about it, naming the node; ""
// for a usable one.
std::string faultLine(const CaptureNode& node);

// The same, in a few words for a corner of the screen, where it stays while
// the fault lasts.
std::string shortFaultLine(const CaptureNode& node);

// The line a search that found no usable camera ends with, and its short form.
extern const char* const noCameraLine;
extern const char* const noCameraShort;

// The node's line in --list-cameras: its path, its driver's name and whether
// it delivers YUYV; `chosen` marks the one --camera alone takes.
std::string listingLine(const CaptureNode& node, bool chosen);

// Every capture node's line on standard output, for --list-cameras.
void printCameraList();
