#include "webgl2-layer.h"

#include <map>
#include <utility>

namespace {

// The unit that textures are bound to while they are edited; the scene
// samples units 0 to 3.
const GLenum editUnit = GL_TEXTURE7;

// Each texture's target, which WebGL2 binds it to; a 1D texture's is 2D.
std::map<GLuint, GLenum> textureTargets;

GLenum bindForEditing(GLuint texture)
{
    const GLenum target = textureTargets[texture];
    glActiveTexture(editUnit);
    glBindTexture(target, texture);
    return target;
}

// A vertex attribute's format and binding point, kept until a buffer is
// given to that binding point: WebGL2 takes all three in one call.
struct AttribFormat {
    GLint size = 4;
    GLenum type = GL_FLOAT;
    GLboolean normalized = GL_FALSE;
    GLuint relativeOffset = 0;
    GLuint binding = 0;
};
std::map<std::pair<GLuint, GLuint>, AttribFormat> attribFormats;  // by vertex array and index

// Runs `edit` with `name` bound by `bind`, then binds again what the query
// `binding` said was bound before.
template <typename Bind, typename Edit>
void withBound(GLenum binding, Bind bind, GLuint name, Edit edit)
{
    GLint was = 0;
    glGetIntegerv(binding, &was);
    bind(name);
    edit();
    bind(static_cast<GLuint>(was));
}

void bindDrawFramebuffer(GLuint framebuffer)
{
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
}

}  // namespace

void glCreateTextures(GLenum target, GLsizei n, GLuint* textures)
{
    glGenTextures(n, textures);
    for (GLsizei i = 0; i < n; ++i) {
        textureTargets[textures[i]] = target == GL_TEXTURE_1D ? GL_TEXTURE_2D : target;
        bindForEditing(textures[i]);
    }
}

void glTextureStorage1D(GLuint texture, GLsizei levels, GLenum internalFormat, GLsizei width)
{
    glTextureStorage2D(texture, levels, internalFormat, width, 1);
}

void glTextureStorage2D(GLuint texture, GLsizei levels, GLenum internalFormat, GLsizei width, GLsizei height)
{
    glTexStorage2D(bindForEditing(texture), levels, internalFormat, width, height);
}

void glTextureStorage3D(GLuint texture, GLsizei levels, GLenum internalFormat, GLsizei width, GLsizei height,
                        GLsizei depth)
{
    glTexStorage3D(bindForEditing(texture), levels, internalFormat, width, height, depth);
}

void glTextureSubImage1D(GLuint texture, GLint level, GLint x, GLsizei width, GLenum format, GLenum type,
                         const void* pixels)
{
    glTextureSubImage2D(texture, level, x, 0, width, 1, format, type, pixels);
}

void glTextureSubImage2D(GLuint texture, GLint level, GLint x, GLint y, GLsizei width, GLsizei height,
                         GLenum format, GLenum type, const void* pixels)
{
    glTexSubImage2D(bindForEditing(texture), level, x, y, width, height, format, type, pixels);
}

void glTextureSubImage3D(GLuint texture, GLint level, GLint x, GLint y, GLint z, GLsizei width, GLsizei height,
                         GLsizei depth, GLenum format, GLenum type, const void* pixels)
{
    glTexSubImage3D(bindForEditing(texture), level, x, y, z, width, height, depth, format, type, pixels);
}

void glTextureParameteri(GLuint texture, GLenum name, GLint value)
{
    glTexParameteri(bindForEditing(texture), name, value);
}

void glBindTextureUnit(GLuint unit, GLuint texture)
{
    glActiveTexture(GL_TEXTURE0 + unit);
    glBindTexture(textureTargets[texture], texture);
}

void glCreateBuffers(GLsizei n, GLuint* buffers)
{
    glGenBuffers(n, buffers);
}

void glNamedBufferData(GLuint buffer, GLsizeiptr size, const void* data, GLenum usage)
{
    // The array buffer binding is no part of a vertex array's state.
    glBindBuffer(GL_ARRAY_BUFFER, buffer);
    glBufferData(GL_ARRAY_BUFFER, size, data, usage);
}

void glCreateVertexArrays(GLsizei n, GLuint* arrays)
{
    glGenVertexArrays(n, arrays);
}

void glEnableVertexArrayAttrib(GLuint vertexArray, GLuint index)
{
    withBound(GL_VERTEX_ARRAY_BINDING, glBindVertexArray, vertexArray, [&] { glEnableVertexAttribArray(index); });
}

void glVertexArrayAttribFormat(GLuint vertexArray, GLuint index, GLint size, GLenum type, GLboolean normalized,
                               GLuint relativeOffset)
{
    AttribFormat& format = attribFormats[{vertexArray, index}];
    format.size = size;
    format.type = type;
    format.normalized = normalized;
    format.relativeOffset = relativeOffset;
}

void glVertexArrayAttribBinding(GLuint vertexArray, GLuint index, GLuint binding)
{
    attribFormats[{vertexArray, index}].binding = binding;
}

void glVertexArrayVertexBuffer(GLuint vertexArray, GLuint binding, GLuint buffer, GLintptr offset, GLsizei stride)
{
    withBound(GL_VERTEX_ARRAY_BINDING, glBindVertexArray, vertexArray, [&] {
        glBindBuffer(GL_ARRAY_BUFFER, buffer);
        for (const auto& [key, format] : attribFormats) {
            if (key.first != vertexArray || format.binding != binding)
                continue;
            glVertexAttribPointer(key.second, format.size, format.type, format.normalized, stride,
                                  reinterpret_cast<const void*>(offset + format.relativeOffset));
        }
    });
}

void glCreateFramebuffers(GLsizei n, GLuint* framebuffers)
{
    glGenFramebuffers(n, framebuffers);
}

void glNamedFramebufferTexture(GLuint framebuffer, GLenum attachment, GLuint texture, GLint level)
{
    withBound(GL_DRAW_FRAMEBUFFER_BINDING, bindDrawFramebuffer, framebuffer, [&] {
        glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, attachment, GL_TEXTURE_2D, texture, level);
    });
}

GLenum glCheckNamedFramebufferStatus(GLuint framebuffer, GLenum target)
{
    GLenum status = 0;
    withBound(GL_DRAW_FRAMEBUFFER_BINDING, bindDrawFramebuffer, framebuffer,
              [&] { status = glCheckFramebufferStatus(target); });
    return status;
}

void glProgramUniform1i(GLuint program, GLint location, GLint value)
{
    withBound(GL_CURRENT_PROGRAM, glUseProgram, program, [&] { glUniform1i(location, value); });
}

void glProgramUniform1f(GLuint program, GLint location, GLfloat value)
{
    withBound(GL_CURRENT_PROGRAM, glUseProgram, program, [&] { glUniform1f(location, value); });
}

void glProgramUniform2i(GLuint program, GLint location, GLint x, GLint y)
{
    withBound(GL_CURRENT_PROGRAM, glUseProgram, program, [&] { glUniform2i(location, x, y); });
}
