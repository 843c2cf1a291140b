#include "gl-requirements.h"

#include <glad/gl.h>

const char* missingSceneExtension()
{
    if (!allLoaded(glCreateTextures, glTextureStorage1D, glTextureStorage2D, glTextureStorage3D,
                   glTextureSubImage1D, glTextureSubImage2D, glTextureSubImage3D, glTextureParameteri,
                   glBindTextureUnit, glCreateBuffers, glNamedBufferData, glCreateVertexArrays,
                   glEnableVertexArrayAttrib, glVertexArrayAttribFormat, glVertexArrayAttribBinding,
                   glVertexArrayVertexBuffer, glCreateFramebuffers, glNamedFramebufferTexture,
                   glCheckNamedFramebufferStatus))
        return "GL_ARB_direct_state_access";
    // Uniforms are set by program name, without binding the program: core
    // only from OpenGL 4.1.
    if (!allLoaded(glProgramUniform1i, glProgramUniform1f, glProgramUniform2i))
        return "GL_ARB_separate_shader_objects";
    return nullptr;
}
