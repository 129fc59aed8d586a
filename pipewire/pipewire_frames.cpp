#include "pipewire/pipewire_frames.h"

#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/iter.h>

#include <algorithm>

namespace {

// The raw formats the intake reads, by PipeWire's names for them.
const struct {
    uint32_t spa;
    PixelLayout layout;
} rawFormats[] = {
    {SPA_VIDEO_FORMAT_BGR, PixelLayout::bgr24},  {SPA_VIDEO_FORMAT_RGB, PixelLayout::rgb24},
    {SPA_VIDEO_FORMAT_YUY2, PixelLayout::yuyv},  {SPA_VIDEO_FORMAT_YVYU, PixelLayout::yvyu},
    {SPA_VIDEO_FORMAT_UYVY, PixelLayout::uyvy},  {SPA_VIDEO_FORMAT_VYUY, PixelLayout::vyuy},
    {SPA_VIDEO_FORMAT_NV12, PixelLayout::nv12},  {SPA_VIDEO_FORMAT_NV21, PixelLayout::nv21},
    {SPA_VIDEO_FORMAT_NV16, PixelLayout::nv16},  {SPA_VIDEO_FORMAT_NV61, PixelLayout::nv61},
    {SPA_VIDEO_FORMAT_I420, PixelLayout::yu12},  {SPA_VIDEO_FORMAT_YV12, PixelLayout::yv12},
};

const PixelLayout* layoutOf(uint32_t spaFormat) {
    for (const auto& format : rawFormats)
        if (format.spa == spaFormat) return &format.layout;
    return nullptr;
}

// A property's values, whatever choice holds them (the first of an enumeration is its default;
// a range is default, least, most; a step adds the step), and the kind of choice.
template <class T>
std::vector<T> valuesOf(const spa_pod* param, uint32_t key, uint32_t type, uint32_t* choice) {
    const spa_pod_prop* prop = spa_pod_find_prop(param, nullptr, key);
    if (!prop) return {};
    uint32_t count = 0;
    const spa_pod* value = spa_pod_get_values(&prop->value, &count, choice);
    if (SPA_POD_TYPE(value) != type || SPA_POD_BODY_SIZE(value) < sizeof(T)) return {};
    const T* values = static_cast<const T*>(SPA_POD_BODY_CONST(value));
    return std::vector<T>(values, values + count);
}

// The Y'CbCr matrix a source states (BT.601 where it states none or another).
YcbcrMatrix matrixOf(uint32_t spaMatrix) {
    switch (spaMatrix) {
    case SPA_VIDEO_COLOR_MATRIX_BT709: return YcbcrMatrix::bt709;
    case SPA_VIDEO_COLOR_MATRIX_BT2020: return YcbcrMatrix::bt2020;
    case SPA_VIDEO_COLOR_MATRIX_SMPTE240M: return YcbcrMatrix::smpte240m;
    default: return YcbcrMatrix::bt601;
    }
}

bool ranged(uint32_t choice) { return choice == SPA_CHOICE_Range || choice == SPA_CHOICE_Step; }

}  // namespace

void addOfferedModes(const spa_pod* param, int width, int height, std::vector<OfferedMode>* modes) {
    uint32_t mediaType = 0, mediaSubtype = 0, choice = SPA_CHOICE_None;
    if (!param || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video) return;
    std::vector<uint32_t> formats = {0};
    if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw)
        formats = valuesOf<uint32_t>(param, SPA_FORMAT_VIDEO_format, SPA_TYPE_Id, &choice);
    else if (mediaSubtype != SPA_MEDIA_SUBTYPE_mjpg)
        return;
    std::vector<spa_rectangle> sizes = valuesOf<spa_rectangle>(param, SPA_FORMAT_VIDEO_size, SPA_TYPE_Rectangle, &choice);
    if (ranged(choice) && sizes.size() >= 3) {
        const spa_rectangle step = sizes.size() >= 4 ? sizes[3] : spa_rectangle{1, 1};
        sizes = {{chooseLength((uint32_t)width, sizes[1].width, sizes[2].width, step.width),
                  chooseLength((uint32_t)height, sizes[1].height, sizes[2].height, step.height)}};
    }
    std::vector<spa_fraction> rates = valuesOf<spa_fraction>(param, SPA_FORMAT_VIDEO_framerate, SPA_TYPE_Fraction, &choice);
    if (ranged(choice) && rates.size() >= 3) {
        // The rule's pick, in the range's own fractions: 30 a second where it holds it, else
        // its nearer end (some sources give the bounds the other way round).
        spa_fraction least = rates[1], most = rates[2];
        auto slower = [](spa_fraction a, spa_fraction b) { return (uint64_t)a.num * b.denom < (uint64_t)b.num * a.denom; };
        if (slower(most, least)) std::swap(least, most);
        const spa_fraction thirty{30, 1};
        rates = {slower(thirty, least) ? least : slower(most, thirty) ? most : thirty};
    }
    if (rates.empty()) rates = {{0, 1}};
    for (uint32_t format : formats) {
        const PixelLayout* layout = mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg ? nullptr : layoutOf(format);
        if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw && !layout) continue;
        const PixelLayout sent = layout ? *layout : PixelLayout::mjpeg;
        const int rank = layoutPreference(sent);
        for (const spa_rectangle& size : sizes)
            for (const spa_fraction& rate : rates) {
                if (!size.width || !size.height) continue;
                // The interval is the rate upside down; a rate of 0 lists none.
                const CameraMode mode{size.width, size.height, rank, rate.num ? rate.denom : 0, rate.num};
                modes->push_back({mode, sent, format, {rate.num, rate.num ? rate.denom : 1}});
            }
    }
}

const spa_pod* formatFor(const OfferedMode& offered, spa_pod_builder* builder) {
    spa_pod_frame frame;
    spa_pod_builder_push_object(builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                        SPA_POD_Id(offered.spaFormat ? SPA_MEDIA_SUBTYPE_raw : SPA_MEDIA_SUBTYPE_mjpg), 0);
    if (offered.spaFormat) spa_pod_builder_add(builder, SPA_FORMAT_VIDEO_format, SPA_POD_Id(offered.spaFormat), 0);
    const spa_rectangle size{offered.mode.width, offered.mode.height};
    spa_pod_builder_add(builder, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), 0);
    const spa_fraction rate{offered.rate[0], offered.rate[1]};
    if (rate.num) spa_pod_builder_add(builder, SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate), 0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(builder, &frame));
}

bool frameFormatOf(const spa_pod* format, FrameFormat* frame, uint32_t rate[2]) {
    uint32_t mediaType = 0, mediaSubtype = 0;
    if (!format || spa_format_parse(format, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video)
        return false;
    spa_rectangle size{};
    spa_fraction framerate{0, 1};
    if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
        spa_video_info_mjpg info{};
        if (spa_format_video_mjpg_parse(format, &info) < 0) return false;
        *frame = {PixelLayout::mjpeg, (int)info.size.width, (int)info.size.height};
        size = info.size;
        framerate = info.framerate;
    } else if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw) {
        spa_video_info_raw info{};
        const PixelLayout* layout = spa_format_video_raw_parse(format, &info) < 0 ? nullptr : layoutOf(info.format);
        if (!layout) return false;
        // BT.601 in limited range, as webcams send it, unless the source says otherwise.
        *frame = {*layout, (int)info.size.width, (int)info.size.height, matrixOf(info.color_matrix),
                  info.color_range == SPA_VIDEO_COLOR_RANGE_0_255};
        size = info.size;
        framerate = info.framerate;
    } else {
        return false;
    }
    rate[0] = framerate.num;
    rate[1] = framerate.denom;
    return size.width > 0 && size.height > 0 && size.width <= 8192 && size.height <= 8192;
}

int planesOf(const spa_buffer* buffer, FramePlane planes[3]) {
    const auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return 0;
    const int count = (int)std::min<uint32_t>(buffer->n_datas, 3);
    for (int i = 0; i < count; i++) {
        const spa_data& data = buffer->datas[i];
        const spa_chunk* chunk = data.chunk;
        if (!data.data || !chunk || !data.maxsize || (chunk->flags & (SPA_CHUNK_FLAG_CORRUPTED | SPA_CHUNK_FLAG_EMPTY)) ||
            chunk->stride < 0)
            return 0;
        const uint32_t offset = chunk->offset % data.maxsize;  // as PipeWire says to read it
        if (chunk->size == 0 || chunk->size > data.maxsize - offset) return 0;
        planes[i] = {static_cast<const unsigned char*>(data.data) + offset, chunk->size, (size_t)chunk->stride};
    }
    return count;
}
