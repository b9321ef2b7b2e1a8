// The one file of a target that only compiles the common headers once for
// the targets of its kind (cmake/PrecompiledHeaders.cmake).
