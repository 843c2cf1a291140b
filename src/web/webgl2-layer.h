// What the scene calls of OpenGL 4.5 that WebGL2 lacks, served on top of
// WebGL2's bind-to-edit calls: objects created and edited by name, uniforms
// set on a program that is not in use, and 1D textures as 2D textures of one
// row. Every edit leaves the bindings that drawing uses as they were.
#pragma once

#include <GLES3/gl3.h>

#define GL_TEXTURE_1D 0x0DE0

// GLSL ES 3.00 in place of a shader file's own #version line, with the
// precision that desktop GLSL has without asking.
constexpr const char* shaderHeader =
    "#version 300 es\n"
    "precision highp float;\n"
    "precision highp int;\n"
    "precision highp sampler2D;\n"
    "precision highp usampler3D;\n";

void glCreateTextures(GLenum target, GLsizei n, GLuint* textures);
void glTextureStorage1D(GLuint texture, GLsizei levels, GLenum internalFormat, GLsizei width);
void glTextureStorage2D(GLuint texture, GLsizei levels, GLenum internalFormat, GLsizei width, GLsizei height);
void glTextureStorage3D(GLuint texture, GLsizei levels, GLenum internalFormat, GLsizei width, GLsizei height,
                        GLsizei depth);
void glTextureSubImage1D(GLuint texture, GLint level, GLint x, GLsizei width, GLenum format, GLenum type,
                         const void* pixels);
void glTextureSubImage2D(GLuint texture, GLint level, GLint x, GLint y, GLsizei width, GLsizei height,
                         GLenum format, GLenum type, const void* pixels);
void glTextureSubImage3D(GLuint texture, GLint level, GLint x, GLint y, GLint z, GLsizei width, GLsizei height,
                         GLsizei depth, GLenum format, GLenum type, const void* pixels);
void glTextureParameteri(GLuint texture, GLenum name, GLint value);
void glBindTextureUnit(GLuint unit, GLuint texture);

void glCreateBuffers(GLsizei n, GLuint* buffers);
void glNamedBufferData(GLuint buffer, GLsizeiptr size, const void* data, GLenum usage);

void glCreateVertexArrays(GLsizei n, GLuint* arrays);
void glEnableVertexArrayAttrib(GLuint vertexArray, GLuint index);
void glVertexArrayAttribFormat(GLuint vertexArray, GLuint index, GLint size, GLenum type, GLboolean normalized,
                               GLuint relativeOffset);
void glVertexArrayAttribBinding(GLuint vertexArray, GLuint index, GLuint binding);
void glVertexArrayVertexBuffer(GLuint vertexArray, GLuint binding, GLuint buffer, GLintptr offset, GLsizei stride);

void glCreateFramebuffers(GLsizei n, GLuint* framebuffers);
void glNamedFramebufferTexture(GLuint framebuffer, GLenum attachment, GLuint texture, GLint level);
GLenum glCheckNamedFramebufferStatus(GLuint framebuffer, GLenum target);

void glProgramUniform1i(GLuint program, GLint location, GLint value);
void glProgramUniform1f(GLuint program, GLint location, GLfloat value);
void glProgramUniform2i(GLuint program, GLint location, GLint x, GLint y);
