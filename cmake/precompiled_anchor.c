/* Gives the precompiled headers their target (cmake/PrecompiledHeaders.cmake). */
