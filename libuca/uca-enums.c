/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Enum GTypes of the camera interface, so that properties and argument parsing can
 * translate between numbers, value names and nicks. */

#include "uca-enums.h"

static GType
register_enum_once (gsize *type_id, const gchar *name, const GEnumValue *values)
{
    if (g_once_init_enter (type_id)) {
        GType type = g_enum_register_static (g_intern_static_string (name), values);
        g_once_init_leave (type_id, type);
    }

    return (GType) *type_id;
}

GType
uca_camera_error_get_type (void)
{
    static gsize type_id = 0;
    static const GEnumValue values[] = {
        { UCA_CAMERA_ERROR_NOT_FOUND, "UCA_CAMERA_ERROR_NOT_FOUND", "not-found" },
        { UCA_CAMERA_ERROR_RECORDING, "UCA_CAMERA_ERROR_RECORDING", "recording" },
        { UCA_CAMERA_ERROR_NOT_RECORDING, "UCA_CAMERA_ERROR_NOT_RECORDING", "not-recording" },
        { UCA_CAMERA_ERROR_NO_GRAB_FUNC, "UCA_CAMERA_ERROR_NO_GRAB_FUNC", "no-grab-func" },
        { UCA_CAMERA_ERROR_NOT_IMPLEMENTED, "UCA_CAMERA_ERROR_NOT_IMPLEMENTED", "not-implemented" },
        { UCA_CAMERA_ERROR_WRONG_WRITE_METADATA, "UCA_CAMERA_ERROR_WRONG_WRITE_METADATA", "wrong-write-metadata" },
        { UCA_CAMERA_ERROR_END_OF_STREAM, "UCA_CAMERA_ERROR_END_OF_STREAM", "end-of-stream" },
        { UCA_CAMERA_ERROR_TIMEOUT, "UCA_CAMERA_ERROR_TIMEOUT", "timeout" },
        { UCA_CAMERA_ERROR_DEVICE, "UCA_CAMERA_ERROR_DEVICE", "device" },
        { 0, NULL, NULL }
    };

    return register_enum_once (&type_id, "UcaCameraError", values);
}

GType
uca_camera_trigger_source_get_type (void)
{
    static gsize type_id = 0;
    static const GEnumValue values[] = {
        { UCA_CAMERA_TRIGGER_SOURCE_AUTO, "UCA_CAMERA_TRIGGER_SOURCE_AUTO", "auto" },
        { UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE, "UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE", "software" },
        { UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL, "UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL", "external" },
        { 0, NULL, NULL }
    };

    return register_enum_once (&type_id, "UcaCameraTriggerSource", values);
}

GType
uca_camera_trigger_type_get_type (void)
{
    static gsize type_id = 0;
    static const GEnumValue values[] = {
        { UCA_CAMERA_TRIGGER_TYPE_EDGE, "UCA_CAMERA_TRIGGER_TYPE_EDGE", "edge" },
        { UCA_CAMERA_TRIGGER_TYPE_LEVEL, "UCA_CAMERA_TRIGGER_TYPE_LEVEL", "level" },
        { 0, NULL, NULL }
    };

    return register_enum_once (&type_id, "UcaCameraTriggerType", values);
}

GType
uca_unit_get_type (void)
{
    static gsize type_id = 0;
    static const GEnumValue values[] = {
        { UCA_UNIT_NA, "UCA_UNIT_NA", "na" },
        { UCA_UNIT_METER, "UCA_UNIT_METER", "meter" },
        { UCA_UNIT_SECOND, "UCA_UNIT_SECOND", "second" },
        { UCA_UNIT_PIXEL, "UCA_UNIT_PIXEL", "pixel" },
        { UCA_UNIT_DEGREE_CELSIUS, "UCA_UNIT_DEGREE_CELSIUS", "degree-celsius" },
        { UCA_UNIT_COUNT, "UCA_UNIT_COUNT", "count" },
        { 0, NULL, NULL }
    };

    return register_enum_once (&type_id, "UcaUnit", values);
}
