#include "camera-report.h"

#include <cstdio>

#include <grp.h>

const char* const noCameraLine =
    "mosaic-preview: no camera that delivers YUYV among /dev/video*; one plugged in is taken "
    "(mosaic-preview --list-cameras shows them all)";
const char* const noCameraShort = "no camera";

static std::string groupName(gid_t group)
{
    const struct group* entry = getgrgid(group);
    return entry ? entry->gr_name : std::to_string(group);
}

static std::string joined(const std::vector<std::string>& formats)
{
    std::string list;
    for (const std::string& format : formats)
        list += (list.empty() ? "" : ", ") + format;
    return list;
}

// What lasts: membership of the node's group, where the group may use it; a
// chmod lasts only until the camera is plugged in again. Group root is no
// group to join, and a group without access calls for a udev rule.
static std::string accessAdvice(const CaptureNode& node)
{
    const std::string group = groupName(node.group);
    if (node.group != 0 && (node.mode & 060) == 060)
        return "it belongs to group " + group + ": join it (sudo usermod -aG " + group +
               " $USER) and log in again";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(node.mode & 07777));
    return "its group " + group + " gives you no access (mode " + mode +
           "): a udev rule in /etc/udev/rules.d, SUBSYSTEM==\"video4linux\", GROUP=\"video\", "
           "MODE=\"0660\", gives cameras to group video; join it (sudo usermod -aG video $USER) and "
           "log in again";
}

std::string faultLine(const CaptureNode& node)
{
    const std::string& path = node.path;
    switch (node.state) {
    case NodeState::Usable:
        return "";
    case NodeState::Missing:
        return path + ": no such camera; it is taken once it is plugged in";
    case NodeState::NoAccess:
        return path + ": permission denied; " + accessAdvice(node);
    case NodeState::Busy:
        return path + ": busy, another program is using it; it is taken once that program lets go";
    case NodeState::NoYuyv:
        return path + ": delivers no YUYV, only " + joined(node.formats) +
               "; choose another camera (mosaic-preview --list-cameras)";
    case NodeState::NotCapture:
        return path + (node.metadata ? ": a metadata node, it captures no video" : ": captures no video") +
               "; choose another camera (mosaic-preview --list-cameras)";
    }
    return "";
}

std::string shortFaultLine(const CaptureNode& node)
{
    switch (node.state) {
    case NodeState::Usable:
        return "";
    case NodeState::Missing:
        return node.path + ": no such camera";
    case NodeState::NoAccess:
        return node.path + ": permission denied";
    case NodeState::Busy:
        return node.path + ": busy";
    case NodeState::NoYuyv:
        return node.path + ": no YUYV";
    case NodeState::NotCapture:
        return node.path + ": no video";
    }
    return "";
}

std::string listingLine(const CaptureNode& node, bool chosen)
{
    // A node that did not open has no name to give, only the reason.
    if (node.card.empty())
        return faultLine(node);
    std::string line = node.path + "  \"" + node.card + "\"  ";
    if (node.state == NodeState::NoYuyv)
        line += "no YUYV (" + joined(node.formats) + ")";
    else if (node.state == NodeState::NotCapture)
        line += "no YUYV (metadata)";
    else
        line += "YUYV";
    if (node.state == NodeState::Busy)
        line += ", busy";
    if (chosen)
        line += "  <- mosaic-preview --camera takes this one";
    return line;
}

void printCameraList()
{
    const std::vector<CaptureNode> nodes = captureNodes(false);
    const CaptureNode* chosen = firstCamera(nodes);
    for (const CaptureNode& node : nodes)
        std::printf("%s\n", listingLine(node, &node == chosen).c_str());
    if (nodes.empty())
        std::printf("no capture devices among /dev/video*\n");
}
