// Telling a whole program image from anything else, and its kind: a PE file
// (in every build) or, natively, an ELF file, whose headers, section table
// and the data they point at all lie within the file. The kind is the
// format, machine, width and byte order, whether it is a library or a
// program, and for PE the subsystem. A download cut short, an error page
// saved under the waiting name, a build for another machine or width, or a
// program saved under a library's name would leave an installation that no
// longer starts. Reads the two files named through the runtime's fopen,
// fseek and fread, and nothing else; writes nothing and reports nothing.
#include "image.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

#ifdef _WIN32
// Windows runs PE images only: an ELF file in its installation is data.
const bool kElfIsAnImage = false;
#else
const bool kElfIsAnImage = true;
#endif

typedef unsigned long long Offset;

enum Format { kNoImage, kPe, kElf };

// What an image is for: a library loads into a program, a program starts;
// neither works in the other's place.
enum Role { kProgram, kLibrary };

struct Kind {
    Format format;
    unsigned machine;    // PE: Machine; ELF: e_machine
    unsigned width;      // PE: the optional header's magic (PE32, PE32+); ELF: the class (32, 64)
    unsigned order;      // ELF: the data encoding; 0 for PE, always little-endian
    Role role;           // PE: IMAGE_FILE_DLL; ELF: the type, and an interpreter for a program
    unsigned subsystem;  // PE: the optional header's Subsystem (GUI, console, native ...); 0 for ELF
};

struct Image {
    FILE *file;
    Offset size;
    DWORD error;  // a read failed, rather than ran past the end: why
};

// Why a runtime call on the file just failed. A runtime that failed without
// a system call failing leaves nothing to say: a read fault, then.
DWORD Failed()
{
    DWORD error = GetLastError();
    return error ? error : ERROR_READ_FAULT;
}

// Whether `length` bytes at `offset` lie within `size`, without overflowing.
bool Within(Offset offset, Offset length, Offset size)
{
    return offset <= size && length <= size - offset;
}

// `length` bytes at `offset`; false if they are not all within the file
// (or the file has shrunk since it was measured) or the read failed.
bool ReadAt(Image *image, Offset offset, void *into, size_t length)
{
    if (!Within(offset, length, image->size)) return false;
    if (fseek(image->file, (long)offset, SEEK_SET) != 0) {
        image->error = Failed();
        return false;
    }
    if (fread(into, 1, length, image->file) == length) return true;
    if (ferror(image->file)) image->error = Failed();
    return false;
}

Offset Field(const unsigned char *at, int bytes, bool bigEndian)
{
    Offset value = 0;
    for (int i = 0; i < bytes; i++) value |= (Offset)at[bigEndian ? bytes - 1 - i : i] << (8 * i);
    return value;
}

const char kPastTheEnd[] = "headers past the end";

const char *ExaminePe(Image *image, const unsigned char *start, size_t got, Kind *kind)
{
    if (got < 64) return kPastTheEnd;
    Offset pe = Field(start + 0x3c, 4, false);
    unsigned char headers[24 + 240];  // signature and file header, then as much of the optional header as is read
    if (!ReadAt(image, pe, headers, 24)) return kPastTheEnd;
    if (memcmp(headers, "PE\0\0", 4) != 0) return "no PE signature";
    unsigned machine = (unsigned)Field(headers + 4, 2, false);
    Offset sections = Field(headers + 6, 2, false), optionalSize = Field(headers + 20, 2, false);
    unsigned characteristics = (unsigned)Field(headers + 22, 2, false);
    if (optionalSize < 2 || !Within(pe + 24, optionalSize, image->size)) return kPastTheEnd;
    size_t read = optionalSize < 240 ? (size_t)optionalSize : 240;
    const unsigned char *optional = headers + 24;
    if (!ReadAt(image, pe + 24, headers + 24, read)) return kPastTheEnd;
    unsigned magic = (unsigned)Field(optional, 2, false);
    if (magic != 0x10b && magic != 0x20b) return "unknown optional header";
    kind->format = kPe;
    kind->machine = machine;
    kind->width = magic;
    kind->order = 0;
    const unsigned kDll = 0x2000;  // IMAGE_FILE_DLL
    kind->role = characteristics & kDll ? kLibrary : kProgram;
    // Subsystem lies at the same place in PE32 and PE32+; a header too short
    // to hold it tells nothing of where the image runs.
    if (read < 70) return "optional header cut short";
    kind->subsystem = (unsigned)Field(optional + 68, 2, false);
    // Without a section an image holds no code or data for the loader to map.
    if (sections == 0) return "no sections";

    // The certificate table (data directory 4) is the one directory given
    // by file offset rather than address; a signed file ends with it.
    size_t directories = magic == 0x10b ? 96 : 112;
    if (read >= directories + 5 * 8 && Field(optional + directories - 4, 4, false) > 4) {
        Offset at = Field(optional + directories + 32, 4, false), length = Field(optional + directories + 36, 4, false);
        if (length && !Within(at, length, image->size)) return "certificate table past the end";
    }
    Offset table = pe + 24 + optionalSize;
    if (!Within(table, sections * 40, image->size)) return "section table past the end";
    for (Offset i = 0; i < sections; i++) {
        unsigned char section[40];
        if (!ReadAt(image, table + i * 40, section, sizeof section)) return "section table past the end";
        Offset length = Field(section + 16, 4, false), at = Field(section + 20, 4, false);
        if (length && !Within(at, length, image->size)) return "section data past the end";
    }
    return NULL;
}

const char *ExamineElf(Image *image, const unsigned char *start, size_t got, Kind *kind)
{
    if (got < 16) return kPastTheEnd;
    unsigned elfClass = start[4], encoding = start[5];
    if ((elfClass != 1 && elfClass != 2) || (encoding != 1 && encoding != 2)) return "unknown ELF class or encoding";
    bool wide = elfClass == 2, big = encoding == 2;
    if (got < (wide ? 64u : 52u)) return kPastTheEnd;
    kind->format = kElf;
    kind->machine = (unsigned)Field(start + 18, 2, big);
    kind->width = elfClass;
    kind->order = encoding;
    // A shared library (ET_DYN) and a program built position-independent
    // share a type: the program names its interpreter (PT_INTERP), below.
    // Any other type (an object file, a core dump) runs nowhere: no image.
    const unsigned kExecutable = 2, kShared = 3;
    unsigned type = (unsigned)Field(start + 16, 2, big);
    if (type != kExecutable && type != kShared) {
        kind->format = kNoImage;
        return "neither a program nor a library";
    }
    kind->role = type == kExecutable ? kProgram : kLibrary;

    Offset programAt = wide ? Field(start + 32, 8, big) : Field(start + 28, 4, big);
    Offset sectionsAt = wide ? Field(start + 40, 8, big) : Field(start + 32, 4, big);
    Offset programEntry = Field(start + (wide ? 54 : 42), 2, big), programs = Field(start + (wide ? 56 : 44), 2, big);
    Offset sectionEntry = Field(start + (wide ? 58 : 46), 2, big), sections = Field(start + (wide ? 60 : 48), 2, big);
    const size_t sectionSize = wide ? 64 : 40;
    if (sectionsAt && sectionEntry < sectionSize) return "section headers malformed";
    // Past their fields' range, the counts stand in the first section header.
    if (sectionsAt && (sections == 0 || programs == 0xffff)) {
        unsigned char first[64];
        if (!ReadAt(image, sectionsAt, first, sectionSize)) return "section headers past the end";
        if (sections == 0) sections = wide ? Field(first + 32, 8, big) : Field(first + 20, 4, big);
        if (programs == 0xffff) programs = Field(first + (wide ? 44 : 28), 4, big);
    }
    // Counts are compared with the file's size before they are multiplied.
    if (programs && programEntry < (wide ? 56u : 32u)) return "program headers malformed";
    if (programs && (programs > image->size / programEntry || !Within(programAt, programs * programEntry, image->size)))
        return "program headers past the end";
    for (Offset i = 0; i < programs && kind->role == kLibrary; i++) {
        unsigned char entry[4];  // p_type, first in both classes
        if (!ReadAt(image, programAt + i * programEntry, entry, sizeof entry)) return "program headers past the end";
        const Offset kInterpreter = 3;  // PT_INTERP
        if (Field(entry, 4, big) == kInterpreter) kind->role = kProgram;
    }
    if (!sectionsAt) return NULL;
    if (sections > image->size / sectionEntry || !Within(sectionsAt, sections * sectionEntry, image->size))
        return "section headers past the end";
    for (Offset i = 0; i < sections; i++) {
        unsigned char section[64];
        if (!ReadAt(image, sectionsAt + i * sectionEntry, section, sectionSize)) return "section headers past the end";
        Offset type = Field(section + 4, 4, big);
        Offset at = wide ? Field(section + 24, 8, big) : Field(section + 16, 4, big);
        Offset length = wide ? Field(section + 32, 8, big) : Field(section + 20, 4, big);
        const Offset kNull = 0, kNoBits = 8;  // no data in the file
        if (type != kNull && type != kNoBits && !Within(at, length, image->size)) return "section data past the end";
    }
    return NULL;
}

// The kind of image in the file, and what keeps it from being whole (null
// if nothing does). A file that is no image has kind kNoImage.
const char *Examine(Image *image, Kind *kind)
{
    memset(kind, 0, sizeof *kind);
    unsigned char start[64];
    size_t got = image->size < sizeof start ? (size_t)image->size : sizeof start;
    if (!ReadAt(image, 0, start, got)) return kPastTheEnd;
    if (got >= 2 && start[0] == 'M' && start[1] == 'Z') return ExaminePe(image, start, got, kind);
    if (kElfIsAnImage && got >= 4 && memcmp(start, "\x7f" "ELF", 4) == 0) return ExamineElf(image, start, got, kind);
    return "not a program image";
}

// Opens and examines one file; 0, or the error it could not be read with.
DWORD Inspect(const char *path, Kind *kind, const char **problem)
{
    FILE *file = fopen(path, "rb");
    if (!file) return GetLastError();
    Image image = {file, 0, 0};
    long end = fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
    if (end < 0) {
        image.error = Failed();
    } else {
        image.size = (Offset)end;
        *problem = Examine(&image, kind);
    }
    fclose(file);
    return image.error;
}

Verdict Fits(const char *waiting)
{
    return {kImageFits, waiting, "", 0};
}

}  // namespace

Verdict CheckImage(const char *installed, const char *waiting)
{
    if (!installed) return Fits(waiting);
    Kind reference, candidate;
    const char *problem = NULL;
    if (DWORD error = Inspect(installed, &reference, &problem)) {
        // Nothing there after all (a dangling link): nothing to compare with.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Fits(waiting);
        return {kImageUnreadable, installed, "", error};
    }
    // An installed file whose kind can't be read is no image to keep: it is replaced as any file.
    if (reference.format == kNoImage) return Fits(waiting);

    problem = NULL;
    if (DWORD error = Inspect(waiting, &candidate, &problem)) return {kImageUnreadable, waiting, "", error};
    const char *why;
    if (candidate.format == kNoImage) {
        why = problem ? problem : "not a program image";
    } else if (candidate.format != reference.format) {
        why = "another kind of image";
    } else if (candidate.machine != reference.machine) {
        why = "another machine";
    } else if (candidate.width != reference.width) {
        why = reference.format == kPe ? "another width (PE32, PE32+)" : "another width (ELF class)";
    } else if (candidate.order != reference.order) {
        why = "another byte order";
    } else if (candidate.role != reference.role) {
        why = candidate.role == kLibrary ? "a library in place of a program" : "a program in place of a library";
    } else if (candidate.subsystem != reference.subsystem) {
        why = "another subsystem";
    } else if (problem) {
        why = problem;
    } else {
        return Fits(waiting);
    }
    return {kImageRefused, waiting, why, 0};
}
