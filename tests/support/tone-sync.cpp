// How far a recorder's sound runs behind its pictures, read back from a video
// it makes of a tone:
//
//   tone-sync RECORDER DIR FPS
//
// DIR holds the "mosaic.vert" and "scroller.png" to check; the tone, a
// scene shader that draws nothing and a tile shader that paints the picture
// white once the vertex stage's timeline reaches the tone are written beside
// them, and the recorder runs there at FPS frames a second. Prints the
// milliseconds from the first white frame to the tone's first loud sample
// (negative: the picture comes late); 1 on any failure.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

const double toneSeconds = 0.5;

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "tone-sync: %s\n", message.c_str());
    std::exit(1);
}

void run(const std::string& command)
{
    if (std::system(command.c_str()) != 0)
        fail(command + " failed");
}

void write(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    if (!out)
        fail("cannot write " + path);
}

// What ffmpeg decodes from `path` in `format`, in units of T.
template <typename T>
std::vector<T> decode(const std::string& path, const std::string& format)
{
    std::string command = "ffmpeg -v error -i '" + path + "' " + format + " -";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        fail("cannot run " + command);
    std::vector<T> values;
    T chunk[4096];
    for (size_t got; (got = std::fread(chunk, sizeof(T), 4096, pipe)) > 0;)
        values.insert(values.end(), chunk, chunk + got);
    if (pclose(pipe) != 0)
        fail(command + " failed");
    return values;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: tone-sync RECORDER DIR FPS\n");
        return 1;
    }
    const std::string recorder = argv[1];
    const std::string dir = argv[2];
    const std::string fps = argv[3];
    run("ffmpeg -v error -f lavfi -i 'aevalsrc=if(gte(t\\,0.5)\\,0.5*sin(2*PI*440*t)\\,0):s=22050:d=1' "
        "-c:a libvorbis -y '" + dir + "/chiptune2.ogg'");
    write(dir + "/sdf.frag", "#version 330 core\nout vec4 colour;\nvoid main() { colour = vec4(0.0); }\n");
    // vWave.y is a quarter of the bars played, at 136 beats a minute.
    write(dir + "/mosaic.frag", "#version 330 core\nflat in vec3 vWave;\nout vec4 colour;\n"
                                "void main() { colour = vec4(vec3(step(0.5 * 136.0 / 960.0, vWave.y)), 1.0); }\n");
    run("cd '" + dir + "' && '" + recorder + "' --size 160x90 --fps " + fps + " tone.mp4 2>/dev/null");

    const std::string video = dir + "/tone.mp4";
    const std::vector<uint8_t> pixels = decode<uint8_t>(video, "-vf scale=16:16 -f rawvideo -pix_fmt gray");
    size_t frame = 0;
    while ((frame + 1) * 256 <= pixels.size() && pixels[frame * 256 + 136] < 128)
        ++frame;
    if ((frame + 1) * 256 > pixels.size())
        fail("no white frame in " + video);
    const std::vector<int16_t> samples = decode<int16_t>(video, "-f s16le -ac 1 -ar 48000");
    auto loud = std::find_if(samples.begin(), samples.end(), [](int16_t v) { return std::abs(v) > 4000; });
    if (loud == samples.end())
        fail("no tone in " + video);
    const double heard = double(loud - samples.begin()) / 48000;
    if (std::abs(heard - toneSeconds) > 0.005)
        fail("the tone is heard at " + std::to_string(heard) + " s, not at 0.5 s");
    std::printf("%.1f\n", (heard - double(frame) / std::atof(fps.c_str())) * 1000);
    return 0;
}
