// nimbrel-convert driven as a program: volumes written by ITK's own writers
// in each format, converted, then loaded through the library with the
// parameters of the generated scene snippet, every voxel checked; --info's
// in-place answer checked by loading; bad inputs refused with nothing left.
#include <itkGDCMImageIO.h>
#include <itkImageIOFactory.h>
#include <itkMetaDataObject.h>
#include <nifti1_io.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.h"
#include "tools/convert/output.h"
#include "tools/convert/plan.h"
#include "tools/convert/volume.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::read_text;

struct ToolRun {
    int status = -1;
    std::string out, err;
};

// Runs nimbrel-convert in `folder` with `args`.
ToolRun run_convert(const fs::path &folder, const std::vector<std::string> &args) {
    std::string command = "cd '" + folder.string() + "' && '" NIMBREL_CONVERT "' --quiet";
    for (const std::string &arg : args)
        command += " '" + arg + "'";
    const fs::path out = folder.parent_path() / "stdout.txt",
                   err = folder.parent_path() / "stderr.txt";
    command += " >'" + out.string() + "' 2>'" + err.string() + "'";
    ToolRun run;
    const int status = std::system(command.c_str());
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = read_text(out);
    run.err = read_text(err);
    return run;
}

// A test image: its shape, ITK sample type, and its samples in index order
// (as doubles; written in the sample type).
struct Image {
    std::vector<int> size; // x, y, z[, t]
    itk::IOComponentEnum type;
    int components = 1;
    std::vector<double> values;
    double spacing[3] = {1.0, 1.0, 1.0};
};

// `size` of pseudo-random values of `type` from `low` to `high` (integers
// unless float), components interleaved.
Image make_image(std::vector<int> size, itk::IOComponentEnum type, double low, double high,
                 int components = 1) {
    Image image{size, type, components, {}};
    size_t count = size_t(components);
    for (int n : size)
        count *= size_t(n);
    uint32_t seed = 12345;
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double unit = double(seed >> 8) / double(1u << 24);
        const double value = low + unit * (high - low);
        image.values.push_back(type == itk::IOComponentEnum::FLOAT ? double(float(value))
                                                                   : std::floor(value));
    }
    image.values[0] = low; // both ends present
    image.values[count - 1] = type == itk::IOComponentEnum::FLOAT ? high : std::floor(high);
    return image;
}

// Samples `first` to `first + count - 1` of `image`, in its sample type.
Bytes sample_bytes(const Image &image, size_t first, size_t count) {
    using C = itk::IOComponentEnum;
    Bytes bytes;
    const auto put = [&bytes](auto sample) {
        const auto *at = reinterpret_cast<const unsigned char *>(&sample);
        bytes.insert(bytes.end(), at, at + sizeof sample);
    };
    for (size_t i = first; i < first + count; ++i) {
        const double v = image.values[i];
        if (image.type == C::UCHAR) put(uint8_t(v));
        if (image.type == C::USHORT) put(uint16_t(v));
        if (image.type == C::SHORT) put(int16_t(v));
        if (image.type == C::FLOAT) put(float(v));
    }
    EXPECT_EQ(bytes.empty(), count == 0) << "no writer for this type";
    return bytes;
}

// Writes the samples of `image` from `first` on with ITK's writer for the
// file's extension, as an image of `size`; `dicom_slice` adds the tags of
// that slice of DICOM series number `series`.
void write_itk(const fs::path &path, const Image &image, const std::vector<int> &size, size_t first,
               bool compress = false, int dicom_slice = -1, int series = 0) {
    convert::register_formats();
    itk::ImageIOBase::Pointer io =
        itk::ImageIOFactory::CreateImageIO(path.c_str(), itk::IOFileModeEnum::WriteMode);
    ASSERT_TRUE(io) << path;
    io->SetNumberOfDimensions(unsigned(size.size()));
    size_t count = size_t(image.components);
    itk::ImageIORegion region(unsigned(size.size()));
    for (unsigned d = 0; d < size.size(); ++d) {
        io->SetDimensions(d, unsigned(size[d]));
        io->SetSpacing(d, d < 3 ? image.spacing[d] : 1.0);
        io->SetOrigin(d, d == 2 && dicom_slice >= 0 ? dicom_slice * image.spacing[2] : 0.0);
        std::vector<double> axis(size.size(), 0.0);
        axis[d] = 1.0;
        io->SetDirection(d, axis);
        region.SetSize(d, size_t(size[d]));
        count *= size_t(size[d]);
    }
    io->SetComponentType(image.type);
    io->SetNumberOfComponents(unsigned(image.components));
    io->SetPixelType(image.components == 3 ? itk::IOPixelEnum::RGB : itk::IOPixelEnum::SCALAR);
    io->SetUseCompression(compress);
    io->SetIORegion(region);
    io->SetFileName(path.string());
    if (dicom_slice >= 0) {
        auto *gdcm = dynamic_cast<itk::GDCMImageIO *>(io.GetPointer());
        ASSERT_TRUE(gdcm);
        itk::MetaDataDictionary &tags = io->GetMetaDataDictionary();
        itk::EncapsulateMetaData<std::string>(tags, "0008|0060", "CT");
        itk::EncapsulateMetaData<std::string>(tags, "0020|000d", "1.2.826.0.1.3680043.2.1125.1");
        itk::EncapsulateMetaData<std::string>(
            tags, "0020|000e", "1.2.826.0.1.3680043.2.1125.2." + std::to_string(series));
        itk::EncapsulateMetaData<std::string>(tags, "0020|0052", "1.2.826.0.1.3680043.2.1125.3");
        itk::EncapsulateMetaData<std::string>(tags, "0020|0013", std::to_string(dicom_slice + 1));
        itk::EncapsulateMetaData<std::string>(
            tags, "0020|0032", "0\\0\\" + std::to_string(dicom_slice * image.spacing[2]));
        itk::EncapsulateMetaData<std::string>(tags, "0020|0037", "1\\0\\0\\0\\1\\0");
        gdcm->SetKeepOriginalUID(true);
    }
    const Bytes bytes = sample_bytes(image, first, count);
    io->Write(bytes.data());
}

// Turns a little-endian .nii written by ITK into its big-endian twin with
// the NIfTI library's own header swap.
void make_big_endian_nifti(const fs::path &path, int sample_bytes) {
    Bytes file = testing_support::read_file(path);
    nifti_1_header header;
    memcpy(&header, file.data(), sizeof header);
    const size_t data = size_t(header.vox_offset);
    swap_nifti_header(&header, 1);
    memcpy(file.data(), &header, sizeof header);
    if (sample_bytes == 2) nifti_swap_2bytes((file.size() - data) / 2, file.data() + data);
    testing_support::write_file(path, file);
}

// The parameters of a volume read with NEAREST lookups, from their texts.
standin::Params nearest(const std::string &file, const std::string &slices,
                        const std::string &filetype, const std::string &width,
                        const std::string &height, const std::string &little_endian) {
    return {file,
            {0, 0, 0},
            std::stoi(slices),
            standin::NEAREST_MODE,
            std::stoi(filetype),
            std::stoi(width),
            std::stoi(height),
            std::stoi(little_endian)};
}

// The shader parameters of an OUTPUT.mi, by name: lines `"name" value,` or
// `"name" "text",`.
std::map<std::string, std::string> scene_params(const fs::path &path) {
    std::map<std::string, std::string> params;
    std::istringstream text(read_text(path));
    for (std::string line; std::getline(text, line);) {
        const size_t open = line.find_first_not_of(' ');
        if (open == std::string::npos || line[open] != '"') continue;
        const size_t close = line.find('"', open + 1);
        std::string value = line.substr(close + 2, line.find_first_of(",#", close + 2) - close - 2);
        while (!value.empty() && (value.back() == ' ' || value.back() == '"'))
            value.pop_back();
        params[line.substr(open + 1, close - open - 1)] = value.substr(value[0] == '"' ? 1 : 0);
    }
    return params;
}

// Each run works in a folder of its own inside the test's scratch folder,
// beside which it leaves its output.
class ConvertTool : public testing_support::RendererTest {
  protected:
    void SetUp() override {
        RendererTest::SetUp();
        folder /= "work";
        fs::create_directories(folder);
    }

    // Loads the volume `params` names and reads every voxel with a NEAREST
    // lookup; the first that differs from `expected(voxel, channel)`, or the
    // library's error, or empty when all are right.
    std::string first_mismatch(const standin::Params &params, const Image &image,
                               const std::function<float(size_t voxel, int channel)> &expected) {
        standin::Instance volume(renderer, params);
        const int width = image.size[0], height = image.size[1], depth = image.size[2];
        const float per_voxel = 1.0f / float(width - 1);
        volume.connect_coord([per_voxel](miVector p) {
            return miVector{p.x * per_voxel, p.y * per_voxel, p.z * per_voxel};
        });
        volume.init(state);
        std::string wrong = renderer.log().errors().empty() ? "" : renderer.log().errors()[0];
        for (int z = 0; z < depth && wrong.empty(); ++z)
            for (int y = 0; y < height && wrong.empty(); ++y)
                for (int x = 0; x < width && wrong.empty(); ++x) {
                    const miColor c = volume.lookup(state, {float(x), float(y), float(z)});
                    const size_t voxel = (size_t(z) * height + y) * width + x;
                    const float got[3] = {c.r, c.g, c.b};
                    for (int channel = 0; channel < 3 && wrong.empty(); ++channel)
                        if (got[channel] != expected(voxel, channel))
                            wrong = "voxel " + std::to_string(x) + "," + std::to_string(y) + "," +
                                    std::to_string(z) + " channel " + std::to_string(channel) +
                                    ": " + std::to_string(got[channel]) + " not " +
                                    std::to_string(expected(voxel, channel));
                }
        volume.exit(state);
        renderer.log().clear();
        return wrong;
    }

    std::set<std::string> files() const {
        std::set<std::string> names;
        for (const auto &entry : fs::recursive_directory_iterator(folder))
            names.insert(fs::relative(entry.path(), folder).string());
        return names;
    }
};

// ---- Round trips ---------------------------------------------------------------

struct RoundTrip {
    const char *name;
    const char *file; // written: one file, or with %d one 2D file per slice from `first`
    int first;
    bool big_endian;   // a .nii turned big-endian
    const char *input; // as given to the tool, after `options`
    Image image;
    std::vector<std::string> options;
    const char *filetype;     // expected in the scene snippet
    float divisor;            // the library's normalisation of that file type
    double low = 0, high = 0; // a window onto 0..4095 (rescaled), or none
    int frame = 0;
};

// Writes the input of a round trip: DICOM slices (.dcm) as one series.
void write_input(const fs::path &folder, const RoundTrip &c) {
    const Image &image = c.image;
    if (!strstr(c.file, "%d")) {
        write_itk(folder / c.file, image, image.size, 0);
        if (c.big_endian) make_big_endian_nifti(folder / c.file, 2);
        return;
    }
    fs::create_directories((folder / c.file).parent_path());
    const size_t per_slice = size_t(image.size[0]) * image.size[1] * image.components;
    for (int z = 0; z < image.size[2]; ++z) {
        char name[64];
        snprintf(name, sizeof name, c.file, c.first + z);
        const bool dicom = strstr(c.file, ".dcm") != nullptr;
        write_itk(folder / name, image, {image.size[0], image.size[1]}, per_slice * z, false,
                  dicom ? z : -1);
    }
}

TEST_F(ConvertTool, RoundTripsEveryFormatVoxelForVoxel) {
    using C = itk::IOComponentEnum;
    // clang-format off
    const RoundTrip cases[] = {
        {"NIfTI little-endian uint8", "scan.nii", 0, false, "scan.nii",
         make_image({7, 5, 4}, C::UCHAR, 0, 255), {}, "3", 255.0f},
        {"NIfTI big-endian int16", "scan.nii", 0, true, "scan.nii",
         make_image({6, 5, 3}, C::SHORT, -3000, 3000), {}, "5", 255.0f},
        {"NIfTI 4D int16, frame 1", "scan.nii.gz", 0, false, "scan.nii.gz",
         make_image({4, 3, 3, 2}, C::SHORT, -50, 50), {"--frame", "1"}, "5", 255.0f, 0, 0, 1},
        {"NRRD float rescaled from a window", "scan.nrrd", 0, false, "scan.nrrd",
         make_image({5, 4, 3}, C::FLOAT, -20, 40), {"--window", "-10,30"}, "4", 4095.0f, -10, 30},
        {"MetaImage uint16 up to 4095", "scan.mha", 0, false, "scan.mha",
         make_image({5, 6, 3}, C::USHORT, 0, 4095), {}, "4", 4095.0f},
        {"multi-page TIFF uint16 over 4095", "scan.tif", 0, false, "scan.tif",
         make_image({6, 4, 3}, C::USHORT, 0, 65535), {}, "1", 65535.0f},
        {"DICOM series int16", "dicom/im%d.dcm", 0, false, "dicom",
         make_image({5, 4, 4}, C::SHORT, -1000, 2000), {}, "5", 255.0f},
        {"PNG stack RGB from a pattern", "rgb_%d.png", 1, false, "",
         make_image({5, 3, 3}, C::UCHAR, 0, 255, 3), {"--stack", "rgb_%d.png"}, "0", 255.0f},
        {"PNG folder in name order, grey into a BMP series", "png/s%d.png", 0, false, "png",
         make_image({4, 3, 12}, C::UCHAR, 0, 255), {"--to", "bmp-series"}, "0", 255.0f},
    };
    // clang-format on
    for (const RoundTrip &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder);
        fs::create_directories(folder);
        write_input(folder, c);
        std::vector<std::string> args = c.options;
        if (*c.input) args.push_back(c.input);
        args.push_back((folder / "out").string());
        const ToolRun run = run_convert(folder, args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("preview: "), std::string::npos) << run.out;
        auto p = scene_params(folder / "out.mi");
        ASSERT_EQ(p["filetype"], c.filetype) << read_text(folder / "out.mi");
        EXPECT_EQ(p["slices"], std::to_string(c.image.size[2]));
        EXPECT_EQ(p["interpolation"], "1");
        const standin::Params params = nearest(p["filename"], p["slices"], p["filetype"],
                                               p["width"], p["height"], p["little_endian"]);
        const size_t frame_values =
            c.image.values.size() / (c.image.size.size() == 4 ? c.image.size[3] : 1);
        const int components = c.image.components;
        const auto expected = [&](size_t voxel, int channel) {
            double v = c.image.values[frame_values * c.frame + voxel * components +
                                      (components == 3 ? channel : 0)];
            if (c.high > c.low)
                v = std::clamp(std::floor((v - c.low) / (c.high - c.low) * 4095.0 + 0.5), 0.0,
                               4095.0);
            return float(v) / c.divisor;
        };
        EXPECT_EQ(first_mismatch(params, c.image, expected), "");
    }
}

// The preview command the tool prints draws the volume in its true
// proportions: spacing 1 x 1 x 3 gives a side view three times as tall per
// slice as wide per voxel.
TEST_F(ConvertTool, PreviewCommandDrawsTheTrueProportions) {
#if !defined(NIMBREL_RENDER_BUILT)
    GTEST_SKIP() << "nimbrel-render is not built";
#endif
    Image image = make_image({9, 5, 4}, itk::IOComponentEnum::SHORT, 0, 900);
    image.spacing[2] = 3.0;
    write_itk(folder / "scan.nii", image, image.size, 0);
    const ToolRun run = run_convert(folder, {"scan.nii", "out"});
    ASSERT_EQ(run.status, 0) << run.err;
    const size_t at = run.out.find("preview: ");
    ASSERT_NE(at, std::string::npos) << run.out;
    const std::string preview = run.out.substr(at + 9, run.out.find('\n', at) - at - 9);
    const std::string command = "cd '" + folder.string() + "' && " + preview +
                                " --view slice --axis y --scale 2 --quiet -o side.png";
    const std::string out = (folder.parent_path() / "render.txt").string();
    ASSERT_EQ(std::system((command + " >'" + out + "' 2>&1").c_str()), 0) << read_text(out);
    // x: 8 voxels; z: 3 slices of 3 voxels' length, 2 pixels per voxel.
    EXPECT_NE(read_text(out).find("side.png: slice view 17 x 19, "), std::string::npos)
        << command << "\n"
        << read_text(out);
}

// ---- In-place loading -----------------------------------------------------------

// "in place    yes: filename F, slices N, filetype T, width W, height H,
// little_endian L" as parameters, or nothing when the line says no.
std::optional<standin::Params> in_place_params(const std::string &info) {
    const size_t yes = info.find("in place    yes: ");
    if (yes == std::string::npos) return std::nullopt;
    const std::string line = info.substr(yes, info.find('\n', yes) - yes);
    const auto field = [&](const std::string &name) {
        const size_t at = line.find(name + " ") + name.size() + 1;
        return line.substr(at, line.find(',', at) - at);
    };
    return nearest(field("filename"), field("slices"), field("filetype"), field("width"),
                   field("height"), field("little_endian"));
}

TEST_F(ConvertTool, InfoSaysInPlaceExactlyWhenTheFileLoadsAsItIs) {
    using C = itk::IOComponentEnum;
    const struct {
        const char *file;
        Image image;
        bool big_endian;
        bool loads;
        int filetype; // as which it loads, or would have to
        float divisor;
    } cases[] = {
        {"u8.nii", make_image({6, 5, 4}, C::UCHAR, 0, 255), false, true, 3, 255.0f},
        {"s16be.nii", make_image({6, 5, 4}, C::SHORT, -900, 900), true, true, 5, 255.0f},
        {"u12.mha", make_image({5, 5, 3}, C::USHORT, 0, 4095), false, true, 4, 4095.0f},
        {"s16raw.mhd", make_image({4, 6, 3}, C::SHORT, -5, 5), false, true, 5, 255.0f},
        {"u12raw.nhdr", make_image({5, 4, 3}, C::USHORT, 7, 4000), false, true, 4, 4095.0f},
        {"s16gz.nii.gz", make_image({6, 5, 4}, C::SHORT, -900, 900), false, false, 5, 255.0f},
        {"u16.nii", make_image({6, 5, 4}, C::USHORT, 0, 65535), false, false, 1, 65535.0f},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        write_itk(folder / c.file, c.image, c.image.size, 0,
                  std::string(c.file).find(".gz") != std::string::npos);
        if (c.big_endian) make_big_endian_nifti(folder / c.file, 2);
        const ToolRun run = run_convert(folder, {"--info", (folder / c.file).string()});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::optional<standin::Params> said = in_place_params(run.out);
        ASSERT_EQ(said.has_value(), c.loads) << run.out;
        const standin::Params params =
            said ? *said
                 : nearest((folder / c.file).string(), std::to_string(c.image.size[2]),
                           std::to_string(c.filetype), std::to_string(c.image.size[0]),
                           std::to_string(c.image.size[1]), c.big_endian ? "0" : "1");
        if (said) {
            EXPECT_EQ(params.filetype, c.filetype);
        }
        const auto expected = [&](size_t voxel, int) {
            return float(c.image.values[voxel]) / c.divisor;
        };
        const std::string mismatch = first_mismatch(params, c.image, expected);
        EXPECT_EQ(mismatch.empty(), c.loads) << mismatch << "\n" << run.out;
    }
}

// ---- Bad inputs --------------------------------------------------------------------

TEST_F(ConvertTool, RefusesBadInputsWithTheirMessageAndNothingWritten) {
    using C = itk::IOComponentEnum;
    testing_support::write_file(folder / "junk.nii", Bytes(400, 0x5a));
    write_itk(folder / "movie.nii", make_image({4, 4, 3, 2}, C::UCHAR, 0, 9), {4, 4, 3, 2}, 0);
    const Image flat = make_image({5, 4}, C::UCHAR, 0, 255);
    write_itk(folder / "flat.png", flat, flat.size, 0);
    Image vectors = make_image({4, 4, 3}, C::FLOAT, 0, 1, 2);
    write_itk(folder / "vectors.nrrd", vectors, vectors.size, 0);
    write_itk(folder / "u16.nii", make_image({4, 4, 3}, C::USHORT, 0, 60000), {4, 4, 3}, 0);
    fs::create_directories(folder / "empty");
    fs::create_directories(folder / "two");
    const Image slice = make_image({4, 3}, C::SHORT, 0, 99);
    for (int z = 0; z < 4; ++z)
        write_itk(folder / "two" / ("im" + std::to_string(z) + ".dcm"), slice, slice.size, 0, false,
                  z / 2, z % 2);
    fs::create_directories(folder / "out.d");
    fs::create_directories(folder / "blocked_0001.raw"); // the second slice cannot take its name
    const std::set<std::string> before = files();

    const struct {
        std::vector<std::string> args;
        int status;
        const char *message;
    } cases[] = {
        {{"missing.nii", "out"}, 1, "cannot read missing.nii: no such file"},
        {{"junk.nii", "out"}, 1, "cannot read junk.nii: "},
        {{"movie.nii", "out"}, 2, "movie.nii holds 2 frames: choose one with --frame N (0 to 1)"},
        {{"--frame", "2", "movie.nii", "out"}, 2, "--frame 2: movie.nii holds 2 frames"},
        {{"flat.png", "out"}, 1, "flat.png cannot become a volume: it is a 2D image (5 x 4)"},
        {{"vectors.nrrd", "out"}, 1, "only grey samples and 8-bit RGB or RGBA become a volume"},
        {{"empty", "out"}, 1, "holds no DICOM series and no PNG, TIFF or BMP images"},
        {{"two", "out"}, 2, "two holds 2 DICOM series: choose one with --series UID"},
        {{"--series", "1.2.3", "two", "out"}, 2, "no DICOM series 1.2.3 in two"},
        {{"--window", "5,5", "u16.nii", "out"}, 2, "--window LOW,HIGH needs LOW below HIGH"},
        {{"--window", "9,2", "u16.nii", "out"}, 2, "--window LOW,HIGH needs LOW below HIGH"},
        {{"u16.nii", "blocked"}, 1, "cannot rename to blocked_0001.raw: Is a directory"},
        {{"u16.nii", "out.d/vol"}, 2, "lies in a folder with a '.' in its name (out.d)"},
        {{"--to", "u12-block", "u16.nii", "out"}, 2, "u12-block holds values from 0 to 4095"},
        {{"--to", "s16-block", "--window", "0,1", "u16.nii", "out"}, 2, "not s16-block"},
        {{"--to", "u8-block", "junk.nii"}, 2, "give INPUT and OUTPUT"},
    };
    for (const auto &c : cases) {
        const ToolRun run = run_convert(folder, c.args);
        SCOPED_TRACE(c.args.front() + " ... " + c.args.back());
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find("nimbrel-convert: "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(files(), before);
    }
}

// ---- The source chosen from the samples, and the names written --------------------

TEST(ConvertPlan, ChoosesTheSourceFromTheSamplesOrSaysWhyTheyDoNotFit) {
    using T = convert::SampleType;
    const struct {
        T type;
        const char *pixel;
        double min, max;
        const char *to;     // "" : chosen
        const char *window; // "" : none, else LOW,HIGH
        int source;         // or -1: refused
        bool rescale;
        const char *message; // when refused (always status 2)
    } cases[] = {
        {T::u8, "scalar", 0, 255, "", "", 3, false, ""},
        {T::u16, "scalar", 0, 4095, "", "", 4, false, ""},
        {T::u16, "scalar", 0, 4096, "", "", 1, false, ""},
        {T::i16, "scalar", -32768, 32767, "", "", 5, false, ""},
        {T::i32, "scalar", 0, 10, "", "", 4, true, ""},
        {T::f64, "scalar", -1, 1, "", "", 4, true, ""},
        {T::u8, "RGB", 0, 255, "", "", 0, false, ""},
        {T::u8, "RGBA", 0, 255, "", "", 0, false, ""},
        {T::u8, "scalar", 0, 255, "bmp-series", "", 0, false, ""},
        {T::i32, "scalar", 0, 4095, "u12-series", "", 2, false, ""},
        {T::u16, "scalar", 0, 60000, "", "0,1000", 4, true, ""},
        {T::f32, "scalar", 0, 1, "u16-series", "", 1, true, ""},
        {T::u16, "scalar", 0, 4096, "u12-block", "", -1, false,
         "u12-block holds values from 0 to 4095, but the values run from 0 to 4096"},
        {T::i16, "scalar", -1, 9, "u8-block", "", -1, false,
         "(negative values need a signed source)"},
        {T::f32, "scalar", 0, 1, "s16-block", "", -1, false,
         "rescaled values go into an unsigned source"},
        {T::u8, "RGB", 0, 255, "u8-block", "", -1, false, "colour samples go only into bmp-series"},
        {T::u8, "RGB", 0, 255, "", "0,9", -1, false, "--window applies to grey samples"},
    };
    for (const auto &c : cases) {
        convert::Volume volume;
        volume.type = c.type;
        volume.pixel = c.pixel;
        volume.components = c.pixel[0] == 'R' ? int(strlen(c.pixel)) : 1;
        convert::WindowChoice window;
        if (*c.window) {
            window.kind = convert::WindowChoice::given;
            sscanf(c.window, "%lf,%lf", &window.low, &window.high);
        }
        const std::string trace = std::string(convert::sample_type_name(c.type)) + " " + c.pixel +
                                  " " + std::to_string(c.max) + " to '" + c.to + "'";
        try {
            const convert::Plan plan = convert::choose_plan(
                volume, {c.min, c.max}, *c.to ? convert::source_code(c.to) : -1, window);
            EXPECT_EQ(plan.source, c.source) << trace;
            EXPECT_EQ(plan.rescale, c.rescale) << trace;
        } catch (const convert::Failure &failure) {
            EXPECT_EQ(c.source, -1) << trace << ": " << failure.what();
            EXPECT_EQ(failure.status, 2) << trace;
            EXPECT_NE(std::string(failure.what()).find(c.message), std::string::npos)
                << failure.what();
        }
    }
}

TEST(ConvertPlan, AutoWindowIsTheHalfAndNinetyNineAndAHalfPercentiles) {
    convert::Volume volume;
    volume.type = convert::SampleType::f32;
    for (int i = 999; i >= 0; --i) { // 0 to 999, in reverse
        const float v = float(i);
        volume.samples.insert(volume.samples.end(), reinterpret_cast<const unsigned char *>(&v),
                              reinterpret_cast<const unsigned char *>(&v) + 4);
    }
    convert::WindowChoice window;
    window.kind = convert::WindowChoice::percentiles;
    const convert::Plan plan =
        convert::choose_plan(volume, convert::value_range(volume), -1, window);
    EXPECT_EQ(plan.low, 5.0);
    EXPECT_EQ(plan.high, 994.0);
    EXPECT_EQ(convert::output_value(plan, 4.0), 0.0);
    EXPECT_EQ(convert::output_value(plan, 994.0), 4095.0);
    EXPECT_EQ(convert::output_value(plan, NAN), 0.0);
}

TEST(ConvertOutput, NumbersASeriesBeforeTheFirstDotAndRefusesDottedFolders) {
    const struct {
        const char *output;
        bool series;
        const char *extension;
        std::vector<std::string> files; // first and last; empty: refused
        const char *scene;
    } cases[] = {
        {"head", false, ".raw", {"head.raw", "head.raw"}, "head.mi"},
        {"head.raw", false, ".raw", {"head.raw", "head.raw"}, "head.mi"},
        {"out/head.mi", true, ".bmp", {"out/head_0000.bmp", "out/head_0011.bmp"}, "out/head.mi"},
        {"./head.v2", true, ".raw", {"head_0000.v2.raw", "head_0011.v2.raw"}, "head.v2.mi"},
        {"a/../head", true, ".raw", {"head_0000.raw", "head_0011.raw"}, "head.mi"},
        {"/tmp/x/head", false, ".raw", {"/tmp/x/head.raw", "/tmp/x/head.raw"}, "/tmp/x/head.mi"},
        {"out.d/head", false, ".raw", {}, ""},
        {"../head", true, ".raw", {}, ""},
        {"out/", false, ".raw", {}, ""},
    };
    for (const auto &c : cases) {
        try {
            const convert::OutputNames names =
                convert::output_names(c.output, c.series, c.extension, 12);
            ASSERT_FALSE(c.files.empty()) << c.output;
            EXPECT_EQ(names.volume_files.front(), c.files.front()) << c.output;
            EXPECT_EQ(names.volume_files.back(), c.files.back()) << c.output;
            EXPECT_EQ(names.volume_files.size(), c.series ? 12u : 1u) << c.output;
            EXPECT_EQ(names.scene, c.scene) << c.output;
        } catch (const convert::Failure &failure) {
            EXPECT_TRUE(c.files.empty()) << c.output << ": " << failure.what();
            EXPECT_EQ(failure.status, 2);
        }
    }
}

} // namespace
