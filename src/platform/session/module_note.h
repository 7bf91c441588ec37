#pragma once

#include <cstddef>
#include <cstdint>

// A runtime module's build note (platform/runtime_module.h): an ELF note in
// the section ".note.halvex.version", owner "Halvex", type 1, whose
// description is the module identity of the build that made it
// (HALVEX_MODULE_IDENTITY_STRING). The programs read it from the file with
// plain reads and load only a module whose note names their own build, so
// nothing of a module from another build runs, not even its constructors.
namespace halvex::ModuleNote {

inline constexpr char sectionName[] = ".note.halvex.version";
inline constexpr char owner[] = "Halvex";
inline constexpr std::uint32_t type = 1;

constexpr std::size_t padded(std::size_t size)
{
    return (size + 3) & ~std::size_t(3);
}

// The note as it lies in the file: the header of an ELF note, then owner
// and description, each padded to four bytes.
template <std::size_t IdentitySize>
struct Layout {
    std::uint32_t ownerSize;
    std::uint32_t descriptionSize;
    std::uint32_t noteType;
    char ownerName[padded(sizeof(owner))];
    char description[padded(IdentitySize)];
};

} // namespace halvex::ModuleNote

// Puts the build note naming `identity` (a string literal) into the module
// being built; once per module, at namespace scope.
#define HALVEX_MODULE_NOTE(identity)                                                                                   \
    __attribute__((section(".note.halvex.version"), used,                                                              \
                   aligned(4))) static const ::halvex::ModuleNote::Layout<sizeof(identity)>                            \
        halvexModuleNote = {sizeof(::halvex::ModuleNote::owner), sizeof(identity), ::halvex::ModuleNote::type,         \
                            "Halvex", identity}
