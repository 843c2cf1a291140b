#include "camera-list.h"
#include "webcam.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
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

// "video12" gives 12; a name that is not video and a number gives -1.
static long videoNumber(const char* name)
{
    if (std::strncmp(name, "video", 5) != 0 || name[5] < '0' || name[5] > '9')
        return -1;
    char* end = nullptr;
    const long number = std::strtol(name + 5, &end, 10);
    return *end == '\0' ? number : -1;
}

std::vector<CaptureNode> captureNodes()
{
    std::vector<long> numbers;
    if (DIR* dev = opendir("/dev")) {
        while (const dirent* entry = readdir(dev)) {
            const long number = videoNumber(entry->d_name);
            if (number >= 0)
                numbers.push_back(number);
        }
        closedir(dev);
    }
    std::sort(numbers.begin(), numbers.end());
    std::vector<CaptureNode> nodes;
    for (long number : numbers) {
        CaptureNode node = inspectCaptureNode("/dev/video" + std::to_string(number));
        const bool listed = node.state == NodeState::NotCapture ? node.metadata : node.state != NodeState::Missing;
        if (listed)
            nodes.push_back(node);
    }
    return nodes;
}

const CaptureNode* firstCamera(const std::vector<CaptureNode>& nodes)
{
    for (const CaptureNode& node : nodes)
        if (node.state == NodeState::Usable)
            return &node;
    return nullptr;
}
