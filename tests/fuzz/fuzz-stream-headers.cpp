// SPDX-License-Identifier: LGPL-2.1-or-later
// The live stream's messages, as uca-record encodes them for any camera settings a libuca camera
// may report and any --stream-user-data: the start message, an image's header in front of its
// pixels and the end message each decode with libcbor, an independent decoder, to exactly the
// values encoded. The input chooses the settings; its tail is the user data's JSON.
#include "fuzz-support.h"

extern "C" {
#include "uca-record/stream-messages.h"
}

#include <cbor.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cinttypes>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

struct ItemUnref {
    void operator()(cbor_item_t *item) const { cbor_decref(&item); }
};
using ItemPtr = std::unique_ptr<cbor_item_t, ItemUnref>;

// Values written as text, so that a whole message compares with one table: numbers in decimal
// (-1-n for CBOR's negative n, ~ before a floating-point one), text quoted, byte strings by their
// length, tags as N(item), dates as the instant they name, arrays and maps with their members.
std::string number(double value)
{
    char text[40];
    std::snprintf(text, sizeof(text), "~%.17g", value);
    return text;
}
std::string quoted(const std::string &text)
{
    return '"' + text + '"';
}
std::string instant(GDateTime *date)
{
    return date ? "date " + std::to_string(g_date_time_to_unix(date)) + "." +
                      std::to_string(g_date_time_get_microsecond(date))
                : "no date";
}
// JSON may hold what UTF-8 cannot (a lone surrogate, which json-glib keeps as is): CBOR text has
// U+FFFD for each such byte.
std::string asUtf8(const char *text)
{
    gchar *valid = g_utf8_make_valid(text, -1);
    const std::string result = quoted(valid);
    g_free(valid);
    return result;
}

std::string show(const cbor_item_t *item)
{
    std::string text;
    switch (cbor_typeof(item)) {
    case CBOR_TYPE_UINT:
        return std::to_string(cbor_get_int(item));
    case CBOR_TYPE_NEGINT:
        return "-1-" + std::to_string(cbor_get_int(item));
    case CBOR_TYPE_BYTESTRING:
        return "bytes " + std::to_string(cbor_bytestring_length(item));
    case CBOR_TYPE_STRING:
        FUZZ_CHECK(cbor_string_is_definite(item), "text in chunks");
        text.assign(reinterpret_cast<const char *>(cbor_string_handle(item)),
                    cbor_string_length(item));
        FUZZ_CHECK(g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr),
                   "text that is no UTF-8");
        return quoted(text);
    case CBOR_TYPE_ARRAY:
        for (size_t i = 0; i < cbor_array_size(item); i++)
            text += show(cbor_array_handle(item)[i]) + ",";
        return "[" + text + "]";
    case CBOR_TYPE_MAP:
        for (size_t i = 0; i < cbor_map_size(item); i++)
            text += show(cbor_map_handle(item)[i].key) + ":" +
                    show(cbor_map_handle(item)[i].value) + ",";
        return "{" + text + "}";
    case CBOR_TYPE_TAG: {
        const ItemPtr tagged(cbor_tag_item(item));
        if (cbor_tag_value(item) != CBOR_TAG_DATE_TIME || !cbor_isa_string(tagged.get()))
            return std::to_string(cbor_tag_value(item)) + "(" + show(tagged.get()) + ")";
        text = show(tagged.get());
        GDateTime *date =
            g_date_time_new_from_iso8601(text.substr(1, text.size() - 2).c_str(), nullptr);
        text = instant(date);
        if (date)
            g_date_time_unref(date);
        return text;
    }
    default:
        if (cbor_float_get_width(item) != CBOR_FLOAT_0)
            return number(cbor_float_get_float(item));
        return cbor_is_null(item)   ? "null"
               : cbor_is_bool(item) ? (cbor_get_bool(item) ? "true" : "false")
                                    : "simple";
    }
}

std::string show(JsonNode *node)
{
    std::string text;
    if (JSON_NODE_HOLDS_OBJECT(node)) {
        // In the order the object holds its members.
        JsonObjectIter members;
        const gchar *name = nullptr;
        JsonNode *member = nullptr;
        json_object_iter_init(&members, json_node_get_object(node));
        while (json_object_iter_next(&members, &name, &member))
            text += asUtf8(name) + ":" + show(member) + ",";
        return "{" + text + "}";
    }
    if (JSON_NODE_HOLDS_ARRAY(node)) {
        for (guint i = 0; i < json_array_get_length(json_node_get_array(node)); i++)
            text += show(json_array_get_element(json_node_get_array(node), i)) + ",";
        return "[" + text + "]";
    }
    const GType type = json_node_get_value_type(node);
    if (JSON_NODE_HOLDS_NULL(node) || type == G_TYPE_BOOLEAN)
        return JSON_NODE_HOLDS_NULL(node) ? "null" : json_node_get_boolean(node) ? "true" : "false";
    if (type == G_TYPE_DOUBLE)
        return number(json_node_get_double(node));
    const gint64 value = json_node_get_int(node);
    if (type == G_TYPE_INT64)
        return value >= 0 ? std::to_string(value) : "-1-" + std::to_string(-(value + 1));
    return asUtf8(json_node_get_string(node));
}

using Fields = std::map<std::string, std::string>;

// A message: the self-described tag on a map of text keys, each once, decoded from all its bytes.
Fields fieldsOf(GBytes *bytes, const char *what)
{
    gsize size = 0;
    const auto *data = static_cast<const guint8 *>(g_bytes_get_data(bytes, &size));
    cbor_load_result result{};
    const ItemPtr message(cbor_load(data, size, &result));
    g_bytes_unref(bytes);
    FUZZ_CHECK(message && result.error.code == CBOR_ERR_NONE && result.read == size &&
                   cbor_isa_tag(message.get()) &&
                   cbor_tag_value(message.get()) == CBOR_TAG_SELF_DESCRIBED,
               "the %s message of %zu bytes is no one self-described item: error %d at byte %zu",
               what, size, static_cast<int>(result.error.code), result.error.position);
    const ItemPtr map(cbor_tag_item(message.get()));
    FUZZ_CHECK(cbor_isa_map(map.get()), "the %s message is no map", what);
    Fields fields;
    for (size_t i = 0; i < cbor_map_size(map.get()); i++) {
        const cbor_pair &pair = cbor_map_handle(map.get())[i];
        const std::string key = show(pair.key);
        FUZZ_CHECK(cbor_isa_string(pair.key) &&
                       fields.emplace(key.substr(1, key.size() - 2), show(pair.value)).second,
                   "the %s message has the key %s twice or not as text", what, key.c_str());
    }
    return fields;
}

void expect(const Fields &fields, const Fields &expected, const char *what)
{
    for (const auto &[key, value] : expected)
        FUZZ_CHECK(fields.count(key) && fields.at(key) == value,
                   "the %s message's %s is %s, not %s", what, key.c_str(),
                   fields.count(key) ? fields.at(key).c_str() : "missing", value.c_str());
    FUZZ_CHECK(fields.size() == expected.size(), "the %s message has %zu keys, %zu expected", what,
               fields.size(), expected.size());
}

std::string list(std::initializer_list<uint64_t> values)
{
    std::string text;
    for (const uint64_t value : values)
        text += std::to_string(value) + ",";
    return "[" + text + "]";
}

} // namespace
} // namespace TessaraVoltFuzz

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    TessaraVoltFuzz::prepareProcess(argc, argv, false);
    return 0;
}

// The settings are what a libuca camera may answer: its properties' ranges, as uca-record reads
// them.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace TessaraVoltFuzz;
    using std::to_string;
    FuzzedDataProvider input(data, size);
    const std::string name = input.ConsumeRandomLengthString(64).c_str(); // no NUL inside
    CameraInfo info{};
    info.camera_name = name.c_str();
    info.exposure_s =
        input.ConsumeFloatingPointInRange<double>(0, input.ConsumeBool() ? 10 : G_MAXDOUBLE);
    for (guint &value : info.roi)
        value = input.ConsumeIntegral<guint>();
    for (guint &value : info.binning)
        value = input.ConsumeIntegral<guint>();
    for (gdouble &value : info.pixel_size)
        value = input.ConsumeBool()
                    ? 0
                    : input.ConsumeFloatingPointInRange<double>(G_MINDOUBLE, G_MAXDOUBLE);
    if (input.ConsumeBool()) { // a frame small enough to send whole
        info.roi[2] = input.ConsumeIntegralInRange<guint>(1, 1024);
        info.roi[3] = input.ConsumeIntegralInRange<guint>(1, 512);
    }
    FrameGeometry geometry{};
    geometry.bits = input.ConsumeIntegralInRange<guint>(1, 32);
    geometry.width = info.roi[2];
    geometry.height = info.roi[3];
    geometry.bytes_per_pixel = geometry.bits <= 8 ? 1 : 2;
    geometry.frame_bytes = gsize{geometry.width} * geometry.height * geometry.bytes_per_pixel;
    const auto nImages = input.ConsumeIntegral<guint64>(), index = input.ConsumeIntegral<guint64>();
    const uint64_t stop =
        input.ConsumeIntegralInRange<gint64>(0, G_MAXINT64 / 4); // after the start
    const auto sent = input.ConsumeIntegral<guint64>(), dropped = input.ConsumeIntegral<guint64>();
    // As the recorder takes --stream-user-data: text up to its first NUL, JSON or refused.
    JsonParser *parser = json_parser_new();
    const bool json = json_parser_load_from_data(
                          parser, input.ConsumeRemainingBytesAsString().c_str(), -1, nullptr) &&
                      json_parser_get_root(parser) != nullptr;
    JsonNode *userData = json ? json_parser_get_root(parser) : nullptr;

    StreamSeries series;
    stream_series_init(&series, &info, nImages);
    const Fields common{{"series_id", to_string(series.series_id)},
                        {"series_unique_id", quoted(series.unique_id)}};
    Fields start = common, image = common, end = common;
    start.insert({{"type", quoted("start")},
                  {"arm_date", instant(series.date)},
                  {"detector_description", asUtf8(name.c_str())},
                  {"image_size_x", to_string(geometry.width)},
                  {"image_size_y", to_string(geometry.height)},
                  {"count_time", number(info.exposure_s)},
                  {"saturation_value", to_string((uint64_t{1} << geometry.bits) - 1)},
                  {"channels", "[" + quoted(STREAM_CHANNEL) + ",]"},
                  {"roi", list({info.roi[0], info.roi[1], info.roi[2], info.roi[3]})},
                  {"pixel_type", quoted(geometry.bytes_per_pixel == 1 ? "uint8" : "uint16")},
                  {"bit_depth_image", to_string(geometry.bits)}});
    if (nImages > 0)
        start["number_of_images"] = to_string(nImages);
    if (info.binning[0] > 0 && info.binning[1] > 0)
        start["binning"] = list({info.binning[0], info.binning[1]});
    if (info.pixel_size[0] > 0 && info.pixel_size[1] > 0)
        start.insert({{"pixel_size_x", number(info.pixel_size[0])},
                      {"pixel_size_y", number(info.pixel_size[1])}});
    if (userData)
        start["user_data"] = show(userData);
    expect(fieldsOf(stream_encode_start(&series, &info, &geometry, userData), "start"), start,
           "start");
    g_object_unref(parser);

    // An image message is decoded whole, pixels included: up to a MiB of them.
    if (geometry.frame_bytes <= (1 << 20)) {
        std::vector<guint8> message(STREAM_IMAGE_HEADER_ROOM + geometry.frame_bytes);
        guint8 *pixels = message.data() + STREAM_IMAGE_HEADER_ROOM;
        const gsize length =
            stream_encode_image_header(&series, &geometry, index, series.start_ns + stop, pixels);
        FUZZ_CHECK(length <= STREAM_IMAGE_HEADER_ROOM, "a header of %zu bytes", length);
        Fields fields =
            fieldsOf(g_bytes_new_static(pixels - length, length + geometry.frame_bytes), "image");
        // To the nanosecond, as far as a double holds it; beyond what 64 bits count, the most they
        // do.
        unsigned long long exposure = 0;
        std::sscanf(fields["real_time"].c_str(), "[%llu,", &exposure);
        const double exposureNs = info.exposure_s * 1e9;
        FUZZ_CHECK(exposureNs >= double(G_MAXINT64)
                       ? exposure == uint64_t(G_MAXINT64)
                       : std::fabs(double(exposure) - exposureNs) <= 1 + exposureNs * 1e-15,
                   "real_time %llu ns for an exposure of %g s", exposure, info.exposure_s);
        const uint64_t pixelTag = geometry.bytes_per_pixel == 1     ? CBOR_TAG_UINT8_ARRAY
                                  : G_BYTE_ORDER == G_LITTLE_ENDIAN ? CBOR_TAG_UINT16_LE_ARRAY
                                                                    : CBOR_TAG_UINT16_BE_ARRAY;
        image.insert(
            {{"type", quoted("image")},
             {"series_date", instant(series.date)},
             {"image_id", to_string(index)},
             {"start_time", list({stop - std::min<uint64_t>(stop, exposure), 1000000000})},
             {"stop_time", list({stop, 1000000000})},
             {"real_time", list({exposure, 1000000000})},
             {"data", "{" + quoted(STREAM_CHANNEL) + ":" + to_string(CBOR_TAG_MULTI_DIM_ARRAY) +
                          "([" + list({geometry.height, geometry.width}) + "," +
                          to_string(pixelTag) + "(bytes " + to_string(geometry.frame_bytes) +
                          "),]),}"}});
        expect(fields, image, "image");
    }
    end.insert({{"type", quoted("end")},
                {"frames_sent", to_string(sent)},
                {"frames_dropped", to_string(dropped)}});
    expect(fieldsOf(stream_encode_end(&series, sent, dropped), "end"), end, "end");
    stream_series_clear(&series);
    return 0;
}
