// The capture class on the page: the camera the browser gives the page
// (getUserMedia), each new picture of it read back through a canvas as packed
// RGB, as the V4L2 device's frames are converted. The browser asks the person
// first; a camera refused, absent or ended counts as a device that is gone,
// and the line on the page says why.
#include "webcam.h"

#include <emscripten.h>

#include <cstdlib>
#include <string>

EM_JS(void, openPageCamera, (), {
    const camera = Module.camera = {video: document.createElement('video'), shown: -1, failure: ""};
    const fail = why => {
        camera.failure = why;
        Module.cameraProblem(why);
    };
    camera.video.muted = true;
    camera.video.playsInline = true;
    if (!navigator.mediaDevices) {
        fail('No camera: the browser gives cameras only to pages served over https or from this computer');
        return;
    }
    navigator.mediaDevices.getUserMedia({video: true}).then(stream => {
        camera.video.srcObject = stream;
        camera.video.play();
        stream.getVideoTracks()[0].onended = () => fail('The camera went away');
    }, error => fail(error.name === 'NotAllowedError' ? 'The camera was refused' : 'No camera was found'));
});

EM_JS(void, closePageCamera, (), {
    const stream = Module.camera.video.srcObject;
    if (stream)
        stream.getTracks().forEach(track => track.stop());
    Module.camera = null;
});

// 1 and the picture's size when the camera shows a picture not read yet, 0
// when it does not, -1 when it is gone.
EM_JS(int, pageCameraPicture, (int* width, int* height), {
    const camera = Module.camera;
    if (camera.failure)
        return -1;
    const video = camera.video;
    if (video.readyState < 2 || video.currentTime === camera.shown)
        return 0;
    HEAP32[width >> 2] = video.videoWidth;
    HEAP32[height >> 2] = video.videoHeight;
    return 1;
});

EM_JS(void, readPageCameraPicture, (unsigned char* rgb, int width, int height), {
    const camera = Module.camera;
    if (!camera.canvas || camera.canvas.width !== width || camera.canvas.height !== height) {
        camera.canvas = new OffscreenCanvas(width, height);
        camera.context = camera.canvas.getContext('2d', {willReadFrequently: true});
    }
    camera.context.drawImage(camera.video, 0, 0);
    camera.shown = camera.video.currentTime;
    const rgba = camera.context.getImageData(0, 0, width, height).data;
    for (let from = 0, to = rgb; from < rgba.length; from += 4, to += 3) {
        HEAPU8[to] = rgba[from];
        HEAPU8[to + 1] = rgba[from + 1];
        HEAPU8[to + 2] = rgba[from + 2];
    }
});

EM_JS(void, pageCameraFailure, (char* why, int size), { stringToUTF8(Module.camera.failure, why, size); });

Webcam::Webcam(const std::string& device, int width, int height)
    : device(device), xres(width), yres(height), force_format(false)
{
    openPageCamera();
}

Webcam::~Webcam()
{
    closePageCamera();
    std::free(rgb_frame.data);
}

// The browser hands pictures over as they come; `timeout` has nothing to
// wait on.
const RGBImage& Webcam::frame(int)
{
    int width = 0;
    int height = 0;
    const int picture = pageCameraPicture(&width, &height);
    if (picture < 0) {
        char why[256];
        pageCameraFailure(why, sizeof why);
        throw CaptureDeviceLost(why);
    }
    if (picture == 0)
        throw std::runtime_error("no new picture from the camera");
    const size_t size = static_cast<size_t>(width) * height * 3;
    if (size != rgb_frame.size) {
        std::free(rgb_frame.data);
        rgb_frame = {};
        auto* pixels = static_cast<uint8_t*>(std::malloc(size));
        if (!pixels)
            throw std::runtime_error("no memory for the camera's picture");
        xres = static_cast<size_t>(width);
        yres = static_cast<size_t>(height);
        rgb_frame = {pixels, xres, yres, size};
    }
    readPageCameraPicture(rgb_frame.data, width, height);
    return rgb_frame;
}

int Webcam::width() const
{
    return static_cast<int>(xres);
}

int Webcam::height() const
{
    return static_cast<int>(yres);
}
