// The one translation unit that includes ITK: reads an image file, a DICOM
// series or a stack of 2D images into a Volume. Every sample is read through
// an ImageIO object into a plain buffer, so no reader template is
// instantiated and this file compiles quickly.
#include <itkBMPImageIOFactory.h>
#include <itkGDCMImageIO.h>
#include <itkGDCMImageIOFactory.h>
#include <itkGDCMSeriesFileNames.h>
#include <itkImageIOFactory.h>
#include <itkMetaImageIO.h>
#include <itkMetaImageIOFactory.h>
#include <itkNiftiImageIOFactory.h>
#include <itkNrrdImageIOFactory.h>
#include <itkPNGImageIOFactory.h>
#include <itkTIFFImageIOFactory.h>
#include <itkVTKImageIOFactory.h>
#include <nifti1_io.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/convert/volume.h"

namespace convert {
namespace {

namespace fs = std::filesystem;

// ITK's description of a failure, on one line.
std::string one_line(const itk::ExceptionObject &error) {
    std::string text = error.GetDescription();
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

[[noreturn]] void cannot_read(const std::string &path, const std::string &why) {
    throw Failure(EXIT_FAILED, "cannot read " + path + ": " + why);
}

bool sample_type_of(itk::IOComponentEnum component, SampleType *type) {
    using C = itk::IOComponentEnum;
    const bool long64 = sizeof(long) == 8;
    const std::pair<C, SampleType> types[] = {
        {C::UCHAR, SampleType::u8},
        {C::CHAR, SampleType::i8},
        {C::USHORT, SampleType::u16},
        {C::SHORT, SampleType::i16},
        {C::UINT, SampleType::u32},
        {C::INT, SampleType::i32},
        {C::ULONG, long64 ? SampleType::u64 : SampleType::u32},
        {C::LONG, long64 ? SampleType::i64 : SampleType::i32},
        {C::ULONGLONG, SampleType::u64},
        {C::LONGLONG, SampleType::i64},
        {C::FLOAT, SampleType::f32},
        {C::DOUBLE, SampleType::f64},
    };
    for (const auto &[itk_type, ours] : types)
        if (component == itk_type) {
            *type = ours;
            return true;
        }
    return false;
}

// An ImageIO with the header of `path` read.
itk::ImageIOBase::Pointer open_io(const std::string &path) {
    register_formats();
    std::error_code error;
    if (!fs::exists(path, error)) cannot_read(path, "no such file");
    if (fs::is_directory(path, error)) cannot_read(path, "a folder, not a file");
    itk::ImageIOBase::Pointer io;
    try {
        io = itk::ImageIOFactory::CreateImageIO(path.c_str(), itk::IOFileModeEnum::ReadMode);
        if (!io) {
            if (FILE *file = fopen(path.c_str(), "rb"))
                fclose(file);
            else
                cannot_read(path, strerror(errno));
            cannot_read(path, "not an image in a format this tool reads");
        }
        io->SetFileName(path);
        io->ReadImageInformation();
    } catch (const itk::ExceptionObject &failure) {
        cannot_read(path, one_line(failure));
    }
    return io;
}

// Shape, geometry and sample type from an ImageIO's header.
Volume describe(const itk::ImageIOBase &io, const std::string &path) {
    Volume v;
    v.dimensions = int(io.GetNumberOfDimensions());
    if (v.dimensions > 4)
        cannot_read(path, "an image of " + std::to_string(v.dimensions) +
                              " dimensions (at most 4: x, y, z, frames)");
    for (int d = 0; d < v.dimensions; ++d)
        v.size[d] = int64_t(io.GetDimensions(d));
    for (int d = 0; d < std::min(v.dimensions, 3); ++d) {
        v.spacing[d] = io.GetSpacing(d);
        v.origin[d] = io.GetOrigin(d);
        const std::vector<double> axis = io.GetDirection(d);
        for (int r = 0; r < std::min<int>(3, int(axis.size())); ++r)
            v.direction[d * 3 + r] = axis[r];
    }
    if (!sample_type_of(io.GetComponentType(), &v.type))
        cannot_read(path, "samples of type " +
                              itk::ImageIOBase::GetComponentTypeAsString(io.GetComponentType()) +
                              " are not supported");
    v.components = int(io.GetNumberOfComponents());
    const itk::IOPixelEnum pixel = io.GetPixelType();
    if (v.components == 1)
        v.pixel = "scalar";
    else if (pixel == itk::IOPixelEnum::RGB)
        v.pixel = "RGB";
    else if (pixel == itk::IOPixelEnum::RGBA)
        v.pixel = "RGBA";
    else
        v.pixel =
            itk::ImageIOBase::GetPixelTypeAsString(pixel) + " of " + std::to_string(v.components);
    const itk::IOByteOrderEnum order = io.GetByteOrder();
    v.order = order == itk::IOByteOrderEnum::BigEndian      ? ByteOrder::big
              : order == itk::IOByteOrderEnum::LittleEndian ? ByteOrder::little
                                                            : ByteOrder::none;
    return v;
}

// Compares two names as a person orders them: runs of digits by their value.
bool natural_less(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isdigit((unsigned char)a[i]) && isdigit((unsigned char)b[j])) {
            size_t i_end = i, j_end = j;
            while (i_end < a.size() && isdigit((unsigned char)a[i_end]))
                ++i_end;
            while (j_end < b.size() && isdigit((unsigned char)b[j_end]))
                ++j_end;
            std::string x = a.substr(i, i_end - i), y = b.substr(j, j_end - j);
            x.erase(0, std::min(x.find_first_not_of('0'), x.size()));
            y.erase(0, std::min(y.find_first_not_of('0'), y.size()));
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            i = i_end, j = j_end;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i, ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// The files of a --stack pattern: numbers from 0 (or else 1) on, up to the
// first one missing.
std::vector<std::string> pattern_files(const std::string &pattern) {
    int numbers = 0; // conversions %d, %3d, %03d; %% is a '%'
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') continue;
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < pattern.size() && end < i + 4 && isdigit((unsigned char)pattern[end]))
            ++end;
        numbers += end < pattern.size() && pattern[end] == 'd' ? 1 : 2;
        i = end;
    }
    if (numbers != 1)
        throw Failure(EXIT_BAD_ARGUMENT, "--stack needs a pattern with one number in it, such as "
                                         "slice_%03d.png, not '" +
                                             pattern + "'");
    const auto name = [&](int n) {
        char text[4096];
        snprintf(text, sizeof text, pattern.c_str(), n);
        return std::string(text);
    };
    std::vector<std::string> files;
    std::error_code error;
    for (int first : {0, 1}) {
        for (int n = first; fs::is_regular_file(name(n), error); ++n)
            files.push_back(name(n));
        if (!files.empty()) return files;
    }
    throw Failure(EXIT_FAILED, "no file matches " + pattern + " (tried the numbers 0 and 1)");
}

bool is_stack_image(const fs::path &path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension == ".png" || extension == ".tif" || extension == ".tiff" ||
           extension == ".bmp";
}

// The DICOM series in `folder` chosen by `uid` (empty: the only one), in
// slice order; empty when the folder holds no DICOM file.
std::vector<std::string> dicom_series(const std::string &folder, const std::string &uid) {
    register_formats();
    itk::GDCMSeriesFileNames::Pointer names = itk::GDCMSeriesFileNames::New();
    std::vector<std::string> uids;
    try {
        names->SetUseSeriesDetails(false);
        names->SetDirectory(folder);
        uids = names->GetSeriesUIDs();
    } catch (const itk::ExceptionObject &failure) {
        cannot_read(folder, one_line(failure));
    }
    if (uids.empty()) {
        if (!uid.empty()) cannot_read(folder, "it holds no DICOM series");
        return {};
    }
    if (uid.empty() && uids.size() > 1) {
        printf("%s holds %zu DICOM series:\n", folder.c_str(), uids.size());
        for (const std::string &each : uids)
            printf("  --series %s   (%zu files)\n", each.c_str(), names->GetFileNames(each).size());
        throw Failure(EXIT_BAD_ARGUMENT, folder + " holds " + std::to_string(uids.size()) +
                                             " DICOM series: choose one with --series UID");
    }
    if (!uid.empty() && std::find(uids.begin(), uids.end(), uid) == uids.end())
        throw Failure(EXIT_BAD_ARGUMENT, "no DICOM series " + uid + " in " + folder);
    return names->GetFileNames(uid.empty() ? uids[0] : uid);
}

// One 2D slice of a series or stack: its samples appended to `out`, after
// checking that it has the shape and type of the first.
void append_slice(const std::string &path, const Volume &volume, std::vector<unsigned char> &out) {
    itk::ImageIOBase::Pointer io = open_io(path);
    const Volume slice = describe(*io, path);
    const bool flat = slice.dimensions == 2 || (slice.dimensions == 3 && slice.size[2] == 1);
    if (!flat) cannot_read(path, "a slice of a series or stack must be a 2D image");
    if (slice.size[0] != volume.size[0] || slice.size[1] != volume.size[1] ||
        slice.type != volume.type || slice.components != volume.components)
        cannot_read(path, "its size or sample type differs from the first slice's (" +
                              volume.files.front() + ")");
    const size_t bytes = io->GetImageSizeInBytes();
    const size_t at = out.size();
    out.resize(at + bytes);
    try {
        itk::ImageIORegion region(io->GetNumberOfDimensions());
        for (unsigned d = 0; d < io->GetNumberOfDimensions(); ++d)
            region.SetSize(d, io->GetDimensions(d));
        io->SetIORegion(region);
        io->Read(out.data() + at);
    } catch (const itk::ExceptionObject &failure) {
        cannot_read(path, one_line(failure));
    }
}

// A volume of 2D slices, one per file, described by the first file.
Volume slice_volume(const std::vector<std::string> &files, const std::string &format) {
    itk::ImageIOBase::Pointer io = open_io(files.front());
    Volume volume = describe(*io, files.front());
    if (!(volume.dimensions == 2 || (volume.dimensions == 3 && volume.size[2] == 1)))
        cannot_read(files.front(), "a slice of a series or stack must be a 2D image");
    volume.dimensions = 3;
    volume.size[2] = int64_t(files.size());
    volume.files = files;
    volume.format = format;
    if (format == "DICOM series" && files.size() > 1) {
        // The distance between the first two slices' positions.
        itk::ImageIOBase::Pointer second = open_io(files[1]);
        double distance = 0;
        for (int d = 0; d < 3; ++d)
            distance += std::pow(second->GetOrigin(d) - volume.origin[d], 2);
        if (distance > 0) volume.spacing[2] = std::sqrt(distance);
    }
    return volume;
}

} // namespace

void register_formats() {
    static const bool done = [] {
        // Failures reach the user as one message each, not as ITK's warnings.
        itk::Object::GlobalWarningDisplayOff();
        itk::NiftiImageIOFactory::RegisterOneFactory();
        itk::NrrdImageIOFactory::RegisterOneFactory();
        itk::MetaImageIOFactory::RegisterOneFactory();
        itk::GDCMImageIOFactory::RegisterOneFactory();
        itk::TIFFImageIOFactory::RegisterOneFactory();
        itk::PNGImageIOFactory::RegisterOneFactory();
        itk::BMPImageIOFactory::RegisterOneFactory();
        itk::VTKImageIOFactory::RegisterOneFactory();
        return true;
    }();
    (void)done;
}

Volume open_volume(const InputSpec &input) {
    std::error_code error;
    if (input.pattern) {
        const std::vector<std::string> files = pattern_files(input.path);
        return slice_volume(files, "image stack");
    }
    if (fs::is_directory(input.path, error)) {
        std::vector<std::string> files = dicom_series(input.path, input.series_uid);
        if (!files.empty()) return slice_volume(files, "DICOM series");
        for (const fs::directory_entry &entry : fs::directory_iterator(input.path, error))
            if (entry.is_regular_file(error) && is_stack_image(entry.path()))
                files.push_back(entry.path().string());
        if (files.empty())
            cannot_read(input.path,
                        "the folder holds no DICOM series and no PNG, TIFF or BMP images");
        std::sort(files.begin(), files.end(), natural_less);
        return slice_volume(files, "image stack");
    }
    if (!input.series_uid.empty())
        throw Failure(EXIT_BAD_ARGUMENT, "--series applies to a folder holding DICOM series");
    itk::ImageIOBase::Pointer io = open_io(input.path);
    Volume volume = describe(*io, input.path);
    volume.files = {input.path};
    const std::string reader = io->GetNameOfClass();
    volume.format = reader.substr(0, reader.rfind("ImageIO"));
    for (const auto &[name, shown] : {std::pair{"Nifti", "NIfTI or Analyze"},
                                      {"Nrrd", "NRRD"},
                                      {"Meta", "MetaImage"},
                                      {"TIFF", "TIFF"},
                                      {"VTK", "VTK"},
                                      {"GDCM", "DICOM"}})
        if (volume.format == name) volume.format = shown;
    // ITK's NIfTI and MetaImage readers keep the file's byte order to themselves.
    if (auto *meta = dynamic_cast<itk::MetaImageIO *>(io.GetPointer());
        meta && sample_size(volume.type) > 1)
        volume.order = meta->GetMetaImagePointer()->BinaryDataByteOrderMSB() ? ByteOrder::big
                                                                             : ByteOrder::little;
    if (reader == "NiftiImageIO" && sample_size(volume.type) > 1) {
        if (nifti_image *header = nifti_image_read(input.path.c_str(), 0)) {
            const int msb_first = 2; // nifti1_io.h defines MSB_FIRST for its own use only
            volume.order = header->byteorder == msb_first ? ByteOrder::big : ByteOrder::little;
            nifti_image_free(header);
        }
    }
    return volume;
}

void read_samples(Volume &volume, const InputSpec &input, int frame,
                  const std::function<void(double)> &progress) {
    volume.samples.clear();
    if (volume.files.size() > 1 || volume.format == "DICOM series" ||
        volume.format == "image stack") {
        volume.samples.reserve(size_t(volume.voxels_per_frame()) * volume.components *
                               sample_size(volume.type));
        for (size_t i = 0; i < volume.files.size(); ++i) {
            append_slice(volume.files[i], volume, volume.samples);
            progress(double(i + 1) / double(volume.files.size()));
        }
        return;
    }
    itk::ImageIOBase::Pointer io = open_io(input.path);
    try {
        itk::ImageIORegion region(io->GetNumberOfDimensions());
        for (unsigned d = 0; d < io->GetNumberOfDimensions(); ++d)
            region.SetSize(d, io->GetDimensions(d));
        io->SetIORegion(region);
        volume.samples.resize(io->GetImageSizeInBytes());
        io->Read(volume.samples.data());
    } catch (const itk::ExceptionObject &failure) {
        cannot_read(input.path, one_line(failure));
    } catch (const std::bad_alloc &) {
        cannot_read(input.path, "not enough memory for its samples");
    }
    if (frame >= 0 && volume.frames() > 1) {
        const size_t frame_bytes =
            size_t(volume.voxels_per_frame()) * volume.components * sample_size(volume.type);
        volume.samples.erase(volume.samples.begin(),
                             volume.samples.begin() + ptrdiff_t(frame_bytes * size_t(frame)));
        volume.samples.resize(frame_bytes);
        volume.samples.shrink_to_fit();
    }
    progress(1.0);
}

} // namespace convert
