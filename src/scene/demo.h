#pragma once

#include <cstdint>
#include <glm/vec2.hpp>

// What the scene needs from the shell.
uint32_t timer();
glm::ivec2 mousepos();
void shutdown();
const char* loadtxt(const char* fileName);

// What the shell calls in the scene.
void init();
void resize(int w, int h);
void render();
