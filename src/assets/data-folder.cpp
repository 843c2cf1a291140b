#include "data-folder.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

static bool holdsRunTimeFiles(const fs::path& folder)
{
    for (const char* name : {"mosaic.vert", "mosaic.frag", "sdf.frag", "scroller.png", "chiptune2.ogg"}) {
        std::error_code error;
        if (!fs::exists(folder / name, error))
            return false;
    }
    return true;
}

std::string findDataFolder(const char* option)
{
    if (option)
        return option;
    if (holdsRunTimeFiles("."))
        return ".";
    std::error_code error;
    fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        fs::path installed = (program.parent_path() / MOSAIC_DATA_FROM_PROGRAM).lexically_normal();
        if (holdsRunTimeFiles(installed))
            return installed.string();
    }
    // Neither holds them: the working directory it is, so that the first file
    // the program misses is reported under the name the user knows.
    return ".";
}
