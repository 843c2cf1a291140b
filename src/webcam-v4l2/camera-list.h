// The V4L2 nodes of this machine as a person choosing a camera sees them:
// what each is called, whether the capture class can stream from it, and if
// not, why.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

enum class NodeState {
    Usable,      // a video capture node that delivers YUYV and is free
    Missing,     // no such node, or its driver has let go of it
    NoAccess,    // opening it was refused
    NotCapture,  // it captures no video (a metadata node, say) or is not V4L2
    NoYuyv,      // it captures video, but not as YUYV
    Busy,        // another program streams from it
};

struct CaptureNode {
    std::string path;
    NodeState state = NodeState::Missing;
    std::string card;                  // VIDIOC_QUERYCAP's name; "" when it was not opened
    std::vector<std::string> formats;  // the video formats it offers, as fourcc codes
    bool metadata = false;             // it captures metadata rather than video
    gid_t group = 0;                   // the node's group and mode, for a refused open
    mode_t mode = 0;
};

// What `path` is, learnt without streaming from it.
CaptureNode inspectCaptureNode(const std::string& path);

// Every video node that captures video or metadata, by number, as udev finds
// them in sysfs; a node that cannot be opened is listed with the reason.
// With `videoOnly` the nodes that udev has found to capture no video are
// passed over unopened, metadata nodes among them.
std::vector<CaptureNode> captureNodes(bool videoOnly);

// The nodes named video and a number, by number, as udev finds them in
// sysfs, none opened; with `videoOnly` without those udev has found to
// capture no video.
std::vector<std::string> videoNodes(bool videoOnly);

// Whether a udev daemon runs, which describes each device (group, mode,
// links, capabilities) before it announces it.
bool udevDaemonRuns();

// The first usable node of `nodes`, or null.
const CaptureNode* firstCamera(const std::vector<CaptureNode>& nodes);
