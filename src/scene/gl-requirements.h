#pragma once

// Whether the loader found every one of these GL entry points. A driver may
// list an extension and still lack one of its functions, and a call through
// a pointer that was never loaded is a crash, not an error.
template <typename... EntryPoints>
bool allLoaded(EntryPoints... entryPoints)
{
    return ((entryPoints != nullptr) && ...);
}

// The extension that brings the first entry point the scene calls beyond
// OpenGL 3.3 that the context's loader did not find, or null when it found
// them all. On OpenGL 4.5 they are core; a 3.3 context must list both
// extensions.
const char* missingSceneExtension();
