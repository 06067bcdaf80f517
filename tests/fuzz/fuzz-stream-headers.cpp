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

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

constexpr uint64_t nsPerSecond = 1000000000;
// An image message is decoded whole, pixels included: up to this many bytes of them.
constexpr uint64_t largestDecodedFrame = 1 << 20;

struct ItemUnref {
    void operator()(cbor_item_t *item) const { cbor_decref(&item); }
};
using ItemPtr = std::unique_ptr<cbor_item_t, ItemUnref>;

struct Settings {
    std::string cameraName;
    CameraInfo info{};
    FrameGeometry geometry{};
    guint64 nImages = 0;
    guint64 index = 0;
    gint64 sinceStartNs = 0; // when the image arrived, after the start
    guint64 sent = 0;
    guint64 dropped = 0;
    JsonNode *userData = nullptr; // owned
};

// What a libuca camera may answer: its properties' ranges, as uca-record reads them.
Settings settingsFrom(FuzzedDataProvider &input)
{
    Settings settings;
    // Named on the command line: no NUL inside.
    settings.cameraName = input.ConsumeRandomLengthString(64).c_str();
    settings.info.camera_name = settings.cameraName.c_str();
    settings.info.exposure_s = input.ConsumeBool()
                                   ? input.ConsumeFloatingPointInRange<double>(0, 10)
                                   : input.ConsumeFloatingPointInRange<double>(0, G_MAXDOUBLE);
    for (guint &value : settings.info.roi)
        value = input.ConsumeIntegral<guint>();
    for (guint &value : settings.info.binning)
        value = input.ConsumeIntegral<guint>();
    for (gdouble &value : settings.info.pixel_size)
        value = input.ConsumeBool()
                    ? 0
                    : input.ConsumeFloatingPointInRange<double>(G_MINDOUBLE, G_MAXDOUBLE);
    if (input.ConsumeBool()) {
        // A frame small enough to send whole.
        settings.info.roi[2] = input.ConsumeIntegralInRange<guint>(1, 1024);
        settings.info.roi[3] = input.ConsumeIntegralInRange<guint>(1, 512);
    }
    FrameGeometry &geometry = settings.geometry;
    geometry.bits = input.ConsumeIntegralInRange<guint>(1, 32);
    geometry.width = settings.info.roi[2];
    geometry.height = settings.info.roi[3];
    geometry.bytes_per_pixel = geometry.bits <= 8 ? 1 : 2;
    geometry.frame_bytes = gsize{geometry.width} * geometry.height * geometry.bytes_per_pixel;
    settings.nImages = input.ConsumeIntegral<guint64>();
    settings.index = input.ConsumeIntegral<guint64>();
    settings.sinceStartNs = input.ConsumeIntegralInRange<gint64>(0, G_MAXINT64 / 4);
    settings.sent = input.ConsumeIntegral<guint64>();
    settings.dropped = input.ConsumeIntegral<guint64>();
    // As the recorder takes --stream-user-data: text up to its first NUL, JSON or refused.
    const std::string json = input.ConsumeRemainingBytesAsString();
    JsonParser *parser = json_parser_new();
    if (json_parser_load_from_data(parser, json.c_str(), -1, nullptr) &&
        json_parser_get_root(parser) != nullptr)
        settings.userData = json_node_copy(json_parser_get_root(parser));
    g_object_unref(parser);
    return settings;
}

ItemPtr decodeWhole(const guint8 *data, size_t size, const char *what)
{
    cbor_load_result result{};
    ItemPtr item(cbor_load(data, size, &result));
    FUZZ_CHECK(item && result.error.code == CBOR_ERR_NONE && result.read == size,
               "the %s message of %zu bytes does not decode: error %d at byte %zu", what, size,
               static_cast<int>(result.error.code), result.error.position);
    return item;
}

std::string textOf(const cbor_item_t *item, const char *what)
{
    FUZZ_CHECK(cbor_isa_string(item) && cbor_string_is_definite(item), "%s is no text", what);
    const std::string text(reinterpret_cast<const char *>(cbor_string_handle(item)),
                           cbor_string_length(item));
    FUZZ_CHECK(g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr),
               "%s is no UTF-8", what);
    return text;
}

uint64_t uintOf(const cbor_item_t *item, const char *what)
{
    FUZZ_CHECK(cbor_isa_uint(item), "%s is no unsigned integer", what);
    return cbor_get_int(item);
}

bool sameDouble(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

double doubleOf(const cbor_item_t *item, const char *what)
{
    FUZZ_CHECK(cbor_isa_float_ctrl(item) && cbor_float_get_width(item) != CBOR_FLOAT_0,
               "%s is no floating-point number", what);
    return cbor_float_get_float(item);
}

// The tagged item's content; the tag must be `tag`.
ItemPtr untag(const cbor_item_t *item, uint64_t tag, const char *what)
{
    FUZZ_CHECK(cbor_isa_tag(item) && cbor_tag_value(item) == tag, "%s lacks tag %llu", what,
               static_cast<unsigned long long>(tag));
    return ItemPtr(cbor_tag_item(item));
}

using Pairs = std::map<std::string, const cbor_item_t *>;

// A message: the self-described tag on a map of text keys, each once, the keys `expected`.
Pairs pairsOf(const cbor_item_t *message, ItemPtr &map, const char *what,
              const std::set<std::string> &expected)
{
    map = untag(message, CBOR_TAG_SELF_DESCRIBED, what);
    FUZZ_CHECK(cbor_isa_map(map.get()) && cbor_map_is_definite(map.get()),
               "the %s message is no map", what);
    Pairs pairs;
    std::set<std::string> keys;
    for (size_t i = 0; i < cbor_map_size(map.get()); i++) {
        const cbor_pair &pair = cbor_map_handle(map.get())[i];
        const std::string key = textOf(pair.key, "a key");
        FUZZ_CHECK(pairs.emplace(key, pair.value).second, "the %s message has %s twice", what,
                   key.c_str());
        keys.insert(key);
    }
    FUZZ_CHECK(keys == expected, "the %s message has %zu keys, %zu expected", what, keys.size(),
               expected.size());
    return pairs;
}

// Each key's item is the unsigned integer, or the array of them, given.
void checkUints(const Pairs &pairs, const std::map<std::string, std::vector<uint64_t>> &expected)
{
    for (const auto &[key, values] : expected) {
        const cbor_item_t *item = pairs.at(key);
        if (values.size() == 1 && !cbor_isa_array(item)) {
            FUZZ_CHECK(uintOf(item, key.c_str()) == values[0], "%s differs", key.c_str());
            continue;
        }
        FUZZ_CHECK(cbor_isa_array(item) && cbor_array_size(item) == values.size(),
                   "%s is no array of %zu", key.c_str(), values.size());
        for (size_t i = 0; i < values.size(); i++)
            FUZZ_CHECK(uintOf(cbor_array_handle(item)[i], key.c_str()) == values[i],
                       "%s[%zu] differs", key.c_str(), i);
    }
}

// JSON may hold what UTF-8 cannot (a lone surrogate, which json-glib keeps as is): CBOR text has
// U+FFFD for each such byte.
std::string asUtf8(const char *text)
{
    gchar *valid = g_utf8_make_valid(text, -1);
    std::string result(valid);
    g_free(valid);
    return result;
}

void checkJson(JsonNode *node, const cbor_item_t *item)
{
    const JsonNodeType type = json_node_get_node_type(node);
    if (type == JSON_NODE_OBJECT) {
        JsonObject *object = json_node_get_object(node);
        FUZZ_CHECK(cbor_isa_map(item) && cbor_map_size(item) == json_object_get_size(object),
                   "a JSON object of %u members is no map of as many pairs",
                   json_object_get_size(object));
        // In the order the object holds its members, each once.
        JsonObjectIter members;
        const gchar *name = nullptr;
        JsonNode *member = nullptr;
        json_object_iter_init(&members, object);
        for (size_t i = 0; json_object_iter_next(&members, &name, &member); i++) {
            const cbor_pair &pair = cbor_map_handle(item)[i];
            FUZZ_CHECK(textOf(pair.key, "a user_data key") == asUtf8(name),
                       "user_data's key \"%s\" differs", name);
            checkJson(member, pair.value);
        }
    } else if (type == JSON_NODE_ARRAY) {
        JsonArray *array = json_node_get_array(node);
        FUZZ_CHECK(cbor_isa_array(item) && cbor_array_size(item) == json_array_get_length(array),
                   "a JSON array of %u is no array of as many", json_array_get_length(array));
        for (guint i = 0; i < json_array_get_length(array); i++)
            checkJson(json_array_get_element(array, i), cbor_array_handle(item)[i]);
    } else if (type == JSON_NODE_NULL) {
        FUZZ_CHECK(cbor_is_null(item), "a JSON null is no null");
    } else if (json_node_get_value_type(node) == G_TYPE_INT64) {
        const gint64 value = json_node_get_int(node);
        FUZZ_CHECK(value >= 0
                       ? cbor_isa_uint(item) && cbor_get_int(item) == guint64(value)
                       : cbor_isa_negint(item) && cbor_get_int(item) == guint64(-(value + 1)),
                   "the JSON integer %" G_GINT64_FORMAT " differs", value);
    } else if (json_node_get_value_type(node) == G_TYPE_DOUBLE) {
        FUZZ_CHECK(sameDouble(doubleOf(item, "a JSON number"), json_node_get_double(node)),
                   "the JSON number %g differs", json_node_get_double(node));
    } else if (json_node_get_value_type(node) == G_TYPE_BOOLEAN) {
        FUZZ_CHECK(cbor_is_bool(item) && cbor_get_bool(item) == bool(json_node_get_boolean(node)),
                   "a JSON boolean differs");
    } else {
        FUZZ_CHECK(textOf(item, "a JSON string") == asUtf8(json_node_get_string(node)),
                   "a JSON string differs");
    }
}

// The keys every message of the series has, and the date of those that carry one.
void checkSeries(const Pairs &pairs, const char *type, const StreamSeries &series,
                 const char *dateKey)
{
    FUZZ_CHECK(textOf(pairs.at("type"), "type") == type, "a %s message of another type", type);
    FUZZ_CHECK(uintOf(pairs.at("series_id"), "series_id") == series.series_id, "series_id differs");
    FUZZ_CHECK(textOf(pairs.at("series_unique_id"), "series_unique_id") == series.unique_id,
               "series_unique_id differs");
    if (!dateKey)
        return;
    const std::string text =
        textOf(untag(pairs.at(dateKey), CBOR_TAG_DATE_TIME, "a date").get(), "a date");
    GDateTime *date = g_date_time_new_from_iso8601(text.c_str(), nullptr);
    FUZZ_CHECK(date && g_date_time_equal(date, series.date), "the date %s is not the series' date",
               text.c_str());
    g_date_time_unref(date);
}

void checkStart(const Settings &settings, const StreamSeries &series)
{
    const CameraInfo &info = settings.info;
    const FrameGeometry &geometry = settings.geometry;
    GBytes *bytes = stream_encode_start(&series, &info, &geometry, settings.userData);
    gsize size = 0;
    const auto *data = static_cast<const guint8 *>(g_bytes_get_data(bytes, &size));
    ItemPtr message = decodeWhole(data, size, "start"), map;
    std::set<std::string> keys{"type",
                               "series_id",
                               "series_unique_id",
                               "arm_date",
                               "detector_description",
                               "image_size_x",
                               "image_size_y",
                               "count_time",
                               "saturation_value",
                               "channels",
                               "roi",
                               "pixel_type",
                               "bit_depth_image"};
    std::map<std::string, std::vector<uint64_t>> uints{
        {"image_size_x", {geometry.width}},
        {"image_size_y", {geometry.height}},
        {"saturation_value", {(uint64_t{1} << geometry.bits) - 1}},
        {"bit_depth_image", {geometry.bits}},
        {"roi", {info.roi[0], info.roi[1], info.roi[2], info.roi[3]}}};
    if (settings.nImages > 0)
        uints["number_of_images"] = {settings.nImages};
    if (info.binning[0] > 0 && info.binning[1] > 0)
        uints["binning"] = {info.binning[0], info.binning[1]};
    const bool hasPixelSize = info.pixel_size[0] > 0 && info.pixel_size[1] > 0;
    if (hasPixelSize)
        keys.insert({"pixel_size_x", "pixel_size_y"});
    if (settings.userData)
        keys.insert("user_data");
    for (const auto &uint : uints)
        keys.insert(uint.first);
    const Pairs pairs = pairsOf(message.get(), map, "start", keys);

    checkSeries(pairs, "start", series, "arm_date");
    checkUints(pairs, uints);
    const std::string description =
        textOf(pairs.at("detector_description"), "detector_description");
    FUZZ_CHECK(description == settings.cameraName ||
                   !g_utf8_validate(settings.cameraName.c_str(), -1, nullptr),
               "detector_description differs");
    FUZZ_CHECK(sameDouble(doubleOf(pairs.at("count_time"), "count_time"), info.exposure_s),
               "count_time differs");
    FUZZ_CHECK(!hasPixelSize ||
                   (doubleOf(pairs.at("pixel_size_x"), "pixel_size_x") == info.pixel_size[0] &&
                    doubleOf(pairs.at("pixel_size_y"), "pixel_size_y") == info.pixel_size[1]),
               "the pixel size differs");
    const cbor_item_t *channels = pairs.at("channels");
    FUZZ_CHECK(cbor_isa_array(channels) && cbor_array_size(channels) == 1 &&
                   textOf(cbor_array_handle(channels)[0], "a channel") == STREAM_CHANNEL,
               "channels differ");
    FUZZ_CHECK(textOf(pairs.at("pixel_type"), "pixel_type") ==
                   (geometry.bytes_per_pixel == 1 ? "uint8" : "uint16"),
               "pixel_type differs");
    if (settings.userData)
        checkJson(settings.userData, pairs.at("user_data"));
    g_bytes_unref(bytes);
}

// [numerator, 10^9]
uint64_t nanosecondsOf(const cbor_item_t *item, const char *what)
{
    FUZZ_CHECK(cbor_isa_array(item) && cbor_array_size(item) == 2 &&
                   uintOf(cbor_array_handle(item)[1], what) == nsPerSecond,
               "%s is no rational of nanoseconds", what);
    return uintOf(cbor_array_handle(item)[0], what);
}

void checkImage(const Settings &settings, const StreamSeries &series)
{
    const FrameGeometry &geometry = settings.geometry;
    if (geometry.frame_bytes > largestDecodedFrame)
        return;
    std::vector<guint8> message(STREAM_IMAGE_HEADER_ROOM + geometry.frame_bytes);
    guint8 *pixels = message.data() + STREAM_IMAGE_HEADER_ROOM;
    const gsize length = stream_encode_image_header(
        &series, &geometry, settings.index, series.start_ns + settings.sinceStartNs, pixels);
    FUZZ_CHECK(length <= STREAM_IMAGE_HEADER_ROOM, "a header of %zu bytes", length);
    ItemPtr item = decodeWhole(pixels - length, length + geometry.frame_bytes, "image"), map;
    const Pairs pairs = pairsOf(item.get(), map, "image",
                                {"type", "series_id", "series_unique_id", "series_date", "image_id",
                                 "start_time", "stop_time", "real_time", "data"});
    checkSeries(pairs, "image", series, "series_date");
    checkUints(pairs, {{"image_id", {settings.index}}});
    const uint64_t start = nanosecondsOf(pairs.at("start_time"), "start_time");
    const uint64_t stop = nanosecondsOf(pairs.at("stop_time"), "stop_time");
    const uint64_t exposure = nanosecondsOf(pairs.at("real_time"), "real_time");
    FUZZ_CHECK(stop == uint64_t(settings.sinceStartNs) && start == stop - std::min(stop, exposure),
               "the image's times differ");
    // To the nanosecond, as far as a double holds it; beyond what 64 bits count, the most they do.
    const double exposureNs = settings.info.exposure_s * nsPerSecond;
    FUZZ_CHECK(exposureNs >= double(G_MAXINT64)
                   ? exposure == uint64_t(G_MAXINT64)
                   : std::fabs(double(exposure) - exposureNs) <= 1 + exposureNs * 1e-15,
               "real_time %llu ns for an exposure of %g s",
               static_cast<unsigned long long>(exposure), settings.info.exposure_s);

    const cbor_item_t *data = pairs.at("data");
    FUZZ_CHECK(cbor_isa_map(data) && cbor_map_size(data) == 1 &&
                   textOf(cbor_map_handle(data)[0].key, "the channel") == STREAM_CHANNEL,
               "data holds no one channel");
    ItemPtr array = untag(cbor_map_handle(data)[0].value, CBOR_TAG_MULTI_DIM_ARRAY, "the image");
    FUZZ_CHECK(cbor_isa_array(array.get()) && cbor_array_size(array.get()) == 2,
               "the image is no pair");
    checkUints({{"shape", cbor_array_handle(array.get())[0]}},
               {{"shape", {geometry.height, geometry.width}}});
    const uint64_t pixelTag = geometry.bytes_per_pixel == 1     ? CBOR_TAG_UINT8_ARRAY
                              : G_BYTE_ORDER == G_LITTLE_ENDIAN ? CBOR_TAG_UINT16_LE_ARRAY
                                                                : CBOR_TAG_UINT16_BE_ARRAY;
    ItemPtr bytes = untag(cbor_array_handle(array.get())[1], pixelTag, "the pixels");
    FUZZ_CHECK(cbor_isa_bytestring(bytes.get()) && cbor_bytestring_is_definite(bytes.get()) &&
                   cbor_bytestring_length(bytes.get()) == geometry.frame_bytes,
               "the pixels are no byte string of %zu bytes", geometry.frame_bytes);
}

void checkEnd(const Settings &settings, const StreamSeries &series)
{
    GBytes *bytes = stream_encode_end(&series, settings.sent, settings.dropped);
    gsize size = 0;
    const auto *data = static_cast<const guint8 *>(g_bytes_get_data(bytes, &size));
    ItemPtr message = decodeWhole(data, size, "end"), map;
    const Pairs pairs =
        pairsOf(message.get(), map, "end",
                {"type", "series_id", "series_unique_id", "frames_sent", "frames_dropped"});
    checkSeries(pairs, "end", series, nullptr);
    checkUints(pairs, {{"frames_sent", {settings.sent}}, {"frames_dropped", {settings.dropped}}});
    g_bytes_unref(bytes);
}

} // namespace
} // namespace TessaraVoltFuzz

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    TessaraVoltFuzz::prepareProcess(argc, argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace TessaraVoltFuzz;
    FuzzedDataProvider input(data, size);
    Settings settings = settingsFrom(input);
    StreamSeries series;
    stream_series_init(&series, &settings.info, settings.nImages);
    checkStart(settings, series);
    checkImage(settings, series);
    checkEnd(settings, series);
    stream_series_clear(&series);
    if (settings.userData)
        json_node_unref(settings.userData);
    return 0;
}
