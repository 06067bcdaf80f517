// SPDX-License-Identifier: LGPL-2.1-or-later
// The live stream's messages, as uca-record encodes them for any camera settings a libuca camera
// may report and any --stream-user-data: the start message, an image's header in front of its
// pixels and the end message each decode with libcbor, an independent decoder, to a map of text
// keys, each once, whose text is all UTF-8 and whose numbers and user data are those encoded. The
// input chooses the settings; its tail is the user data's JSON.
#include "fuzz-support.h"

extern "C" {
#include "stream/json-cbor.h"
#include "stream/stream-messages.h"
}

#include <cbor.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <json-glib/json-glib.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

struct ItemUnref {
    void operator()(cbor_item_t *item) const { cbor_decref(&item); }
};
using ItemPtr = std::unique_ptr<cbor_item_t, ItemUnref>;

// The item as JSON, tags looked through: every text must be UTF-8, every key text and once.
JsonNode *jsonOf(cbor_item_t *item)
{
    JsonNode *node = json_node_new(JSON_NODE_VALUE);
    switch (cbor_typeof(item)) {
    case CBOR_TYPE_UINT:
    case CBOR_TYPE_NEGINT: // uint64 as int64 too, so that a value compares cast back
        json_node_set_int(node, cbor_isa_uint(item) ? gint64(cbor_get_int(item))
                                                    : -1 - gint64(cbor_get_int(item)));
        return node;
    case CBOR_TYPE_STRING: {
        FUZZ_CHECK(cbor_string_is_definite(item), "text in chunks");
        const std::string text(reinterpret_cast<const char *>(cbor_string_handle(item)),
                               cbor_string_length(item));
        // NUL is a character like any other (user data keeps it); GLib's check stops at one.
        for (size_t begin = 0, end; begin <= text.size(); begin = end + 1) {
            end = std::min(text.find('\0', begin), text.size());
            FUZZ_CHECK(g_utf8_validate(text.data() + begin, gssize(end - begin), nullptr),
                       "text that is no UTF-8");
        }
        json_node_set_string(node, text.c_str());
        return node;
    }
    case CBOR_TYPE_ARRAY: {
        JsonArray *array = json_array_new();
        for (size_t i = 0; i < cbor_array_size(item); i++)
            json_array_add_element(array, jsonOf(cbor_array_handle(item)[i]));
        json_node_init_array(node, array); // a reference of its own
        json_array_unref(array);
        return node;
    }
    case CBOR_TYPE_MAP: {
        JsonObject *object = json_object_new();
        std::set<std::string> keys; // whole: a key may hold a NUL
        for (size_t i = 0; i < cbor_map_size(item); i++) {
            const cbor_pair &pair = cbor_map_handle(item)[i];
            FUZZ_CHECK(cbor_isa_string(pair.key), "a key that is no text");
            g_autoptr(JsonNode) key = jsonOf(pair.key);
            const gchar *name = json_node_get_string(key);
            FUZZ_CHECK(keys.emplace(reinterpret_cast<const char *>(cbor_string_handle(pair.key)),
                                    cbor_string_length(pair.key))
                           .second,
                       "the key %s twice", name);
            json_object_set_member(object, name, jsonOf(pair.value));
        }
        json_node_init_object(node, object);
        json_object_unref(object);
        return node;
    }
    case CBOR_TYPE_TAG: {
        json_node_unref(node);
        const ItemPtr tagged(cbor_tag_item(item));
        return jsonOf(tagged.get());
    }
    default: // a byte string (the pixels) as null
        if (cbor_isa_float_ctrl(item) && cbor_float_get_width(item) != CBOR_FLOAT_0)
            json_node_set_double(node, cbor_float_get_float(item));
        else if (cbor_is_bool(item))
            json_node_set_boolean(node, cbor_get_bool(item));
        else
            json_node_init_null(node);
        return node;
    }
}

// A message: the self-described tag on a map, one item of all its bytes.
JsonNode *decode(GBytes *bytes, const char *what)
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
    JsonNode *map = jsonOf(message.get());
    FUZZ_CHECK(JSON_NODE_HOLDS_OBJECT(map), "the %s message is no map", what);
    return map;
}

// The numbers the caller gave come back, a list's as its first member.
void expectNumbers(JsonNode *message,
                   std::initializer_list<std::pair<const char *, uint64_t>> expected)
{
    for (const auto &[key, value] : expected) {
        JsonNode *node = json_object_get_member(json_node_get_object(message), key);
        if (node && JSON_NODE_HOLDS_ARRAY(node))
            node = json_array_get_element(json_node_get_array(node), 0);
        FUZZ_CHECK(node && JSON_NODE_HOLDS_VALUE(node) &&
                       uint64_t(json_node_get_int(node)) == value,
                   "the %s message's %s is not %llu",
                   json_object_get_string_member(json_node_get_object(message), "type"), key,
                   static_cast<unsigned long long>(value));
    }
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
    const auto seriesId = input.ConsumeIntegral<guint64>(), lost = input.ConsumeIntegral<guint64>();
    // As the recorder takes --stream-user-data: text up to its first NUL, JSON or refused.
    const std::string text = input.ConsumeRemainingBytesAsString().c_str();
    GBytes *userData = json_cbor_encode(text.c_str(), nullptr);
    // json-glib, an independent reader, checks the values it reads exactly: not integers beyond
    // 18 digits, NUL or surrogate escapes (it cuts strings at a NUL, keeps a lone surrogate's
    // bytes, and reads integers into 64 bits).
    const bool exact = !g_regex_match_simple("[0-9]{19}|\\\\u(0000|[dD][89a-fA-F])", text.c_str(),
                                             G_REGEX_DEFAULT, G_REGEX_MATCH_DEFAULT);
    JsonParser *parser = json_parser_new();
    const bool json = json_parser_load_from_data(parser, text.c_str(), -1, nullptr) &&
                      json_parser_get_root(parser) != nullptr;
    JsonNode *glibData = json && exact ? json_parser_get_root(parser) : nullptr;

    StreamSeries series;
    stream_series_init(&series, seriesId, &info, nImages);
    g_autoptr(JsonNode) start = decode(
        stream_encode_start(&series, &info, &geometry, nullptr, STREAM_COMPRESSION_NONE, userData),
        "start");
    expectNumbers(start, {{"series_id", seriesId},
                          {"image_size_x", geometry.width},
                          {"image_size_y", geometry.height},
                          {"bit_depth_image", geometry.bits},
                          {"saturation_value", (uint64_t{1} << geometry.bits) - 1},
                          {"roi", info.roi[0]}});
    if (nImages > 0) // else none
        expectNumbers(start, {{"number_of_images", nImages}});
    // User data as json-glib reads it, where it reads it exactly.
    JsonNode *sentData = json_object_get_member(json_node_get_object(start), "user_data");
    FUZZ_CHECK((sentData != nullptr) == (userData != nullptr), "user data sent: %d",
               sentData != nullptr);
    if (glibData && userData) {
        g_autofree gchar *expected = json_to_string(glibData, FALSE);
        g_autofree gchar *decoded = json_to_string(sentData, FALSE);
        FUZZ_CHECK(g_strcmp0(expected, decoded) == 0, "user data %s sent as %s", expected, decoded);
    }
    g_object_unref(parser);
    g_clear_pointer(&userData, g_bytes_unref);

    // An image message is decoded whole, pixels included: up to a MiB of them.
    if (geometry.frame_bytes <= (1 << 20)) {
        std::vector<guint8> message(STREAM_IMAGE_HEADER_ROOM + geometry.frame_bytes);
        guint8 *pixels = message.data() + STREAM_IMAGE_HEADER_ROOM;
        const gsize length =
            stream_encode_image_header(&series, &geometry, index, series.start_ns + stop, pixels);
        FUZZ_CHECK(length <= STREAM_IMAGE_HEADER_ROOM, "a header of %zu bytes", length);
        g_autoptr(JsonNode) image =
            decode(g_bytes_new_static(pixels - length, length + geometry.frame_bytes), "image");
        expectNumbers(image,
                      {{"series_id", series.series_id}, {"image_id", index}, {"stop_time", stop}});
        // To the nanosecond, as far as a double holds it; beyond what 64 bits count, the most they
        // do.
        const uint64_t exposure = json_array_get_int_element(
            json_object_get_array_member(json_node_get_object(image), "real_time"), 0);
        const double exposureNs = info.exposure_s * 1e9;
        FUZZ_CHECK(exposureNs >= double(G_MAXINT64)
                       ? exposure == uint64_t(G_MAXINT64)
                       : std::fabs(double(exposure) - exposureNs) <= 1 + exposureNs * 1e-15,
                   "real_time %llu ns for an exposure of %g s",
                   static_cast<unsigned long long>(exposure), info.exposure_s);
    }
    g_autoptr(JsonNode) end = decode(stream_encode_end(&series, sent, dropped, lost), "end");
    expectNumbers(end, {{"series_id", seriesId},
                        {"frames_sent", sent},
                        {"frames_dropped", dropped},
                        {"frames_possibly_lost", lost}});
    stream_series_clear(&series);
    return 0;
}
