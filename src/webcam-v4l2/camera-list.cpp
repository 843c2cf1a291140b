#include "camera-list.h"
#include "webcam.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <libudev.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

static std::string fourcc(uint32_t code)
{
    std::string name;
    for (int shift = 0; shift < 32; shift += 8)
        name += static_cast<char>((code >> shift) & 0xff);
    name.erase(name.find_last_not_of(' ') + 1);
    return name;
}

static std::vector<uint32_t> videoFormats(int fd)
{
    std::vector<uint32_t> codes;
    v4l2_fmtdesc format;
    for (uint32_t index = 0;; ++index) {
        std::memset(&format, 0, sizeof format);
        format.index = index;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd, VIDIOC_ENUM_FMT, &format) == -1)
            return codes;
        codes.push_back(format.pixelformat);
    }
}

// A queue another descriptor owns refuses even a request for no buffers,
// which on a free queue changes nothing.
static bool busy(int fd)
{
    v4l2_requestbuffers none;
    std::memset(&none, 0, sizeof none);
    none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    none.memory = V4L2_MEMORY_MMAP;
    return xioctl(fd, VIDIOC_REQBUFS, &none) == -1 && errno == EBUSY;
}

static void describeOpenNode(int fd, CaptureNode& node)
{
    v4l2_capability cap;
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == -1) {
        node.state = errno == ENODEV ? NodeState::Missing : NodeState::NotCapture;
        return;
    }
    node.card = reinterpret_cast<const char*>(cap.card);
    const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    node.metadata = (caps & V4L2_CAP_META_CAPTURE) != 0;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) {
        node.state = NodeState::NotCapture;
        return;
    }
    const std::vector<uint32_t> codes = videoFormats(fd);
    for (uint32_t code : codes)
        node.formats.push_back(fourcc(code));
    if (std::find(codes.begin(), codes.end(), V4L2_PIX_FMT_YUYV) == codes.end())
        node.state = NodeState::NoYuyv;
    else
        node.state = busy(fd) ? NodeState::Busy : NodeState::Usable;
}

CaptureNode inspectCaptureNode(const std::string& path)
{
    CaptureNode node;
    node.path = path;
    struct stat st;
    if (stat(path.c_str(), &st) == -1)
        return node;
    node.group = st.st_gid;
    node.mode = st.st_mode & 07777;
    if (!S_ISCHR(st.st_mode)) {
        node.state = NodeState::NotCapture;
        return node;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        node.state = errno == EACCES || errno == EPERM ? NodeState::NoAccess : NodeState::Missing;
        return node;
    }
    describeOpenNode(fd, node);
    close(fd);
    return node;
}

// udev's own test, once v4l_id has run for the device: ID_V4L_CAPABILITIES
// such as ":capture:". A device udev has not described (no udev daemon runs,
// say) may capture; only opening it tells.
static bool mayCapture(udev_device* device)
{
    const char* capabilities = udev_device_get_property_value(device, "ID_V4L_CAPABILITIES");
    return !capabilities || std::strstr(capabilities, ":capture:") != nullptr;
}

// The nodes named video and a number; the subsystem's radio, VBI and
// sub-device nodes carry no pictures.
std::vector<std::string> videoNodes(bool videoOnly)
{
    std::vector<std::pair<long, std::string>> found;
    udev* context = udev_new();
    udev_enumerate* devices = context ? udev_enumerate_new(context) : nullptr;
    if (devices && udev_enumerate_add_match_subsystem(devices, "video4linux") >= 0 &&
        udev_enumerate_add_match_sysname(devices, "video[0-9]*") >= 0 && udev_enumerate_scan_devices(devices) >= 0) {
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(devices)) {
            udev_device* device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
            if (!device)
                continue;
            const char* node = udev_device_get_devnode(device);
            const char* number = udev_device_get_sysnum(device);
            if (node && number && (!videoOnly || mayCapture(device)))
                found.emplace_back(std::strtol(number, nullptr, 10), node);
            udev_device_unref(device);
        }
    }
    udev_enumerate_unref(devices);
    udev_unref(context);
    std::sort(found.begin(), found.end());
    std::vector<std::string> nodes;
    for (const auto& numbered : found)
        nodes.push_back(numbered.second);
    return nodes;
}

std::vector<CaptureNode> captureNodes(bool videoOnly)
{
    std::vector<CaptureNode> nodes;
    for (const std::string& path : videoNodes(videoOnly)) {
        CaptureNode node = inspectCaptureNode(path);
        const bool listed = node.state == NodeState::NotCapture ? node.metadata : node.state != NodeState::Missing;
        if (listed)
            nodes.push_back(node);
    }
    return nodes;
}

bool udevDaemonRuns()
{
    return access("/run/udev/control", F_OK) == 0;
}

const CaptureNode* firstCamera(const std::vector<CaptureNode>& nodes)
{
    for (const CaptureNode& node : nodes)
        if (node.state == NodeState::Usable)
            return &node;
    return nullptr;
}
