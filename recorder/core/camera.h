/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* uca-record's dealings with the camera before recording: opening it, the PROPERTY=VALUE
 * arguments, the recording mode and what the files need to know about the frames. */
#ifndef UCA_RECORD_CAMERA_H
#define UCA_RECORD_CAMERA_H

#include "uca-record.h"

#include <uca/uca-camera.h>
#include <uca/uca-plugin-manager.h>

UcaCamera *record_open_camera (UcaPluginManager *manager, const gchar *name, GError **error);
/* Checks every argument against the camera's properties before setting any. */
gboolean record_apply_properties (UcaCamera *camera, gchar **arguments, guint n_arguments, GError **error);
/* The mode overrides whatever the property arguments said about the same switches. */
void record_configure_mode (UcaCamera *camera, RecordMode mode);
/* uca-record sends no software triggers: a camera waiting for one would never deliver. */
gboolean record_check_trigger_source (UcaCamera *camera, GError **error);
/* Once the mode is configured: values the camera took but cannot record with. */
gboolean record_check_settings (UcaCamera *camera, RecordMode mode, GError **error);
/* What the files need to know, as far as known before recording. */
void record_read_camera (UcaCamera *camera, const gchar *name, FrameGeometry *geometry, CameraInfo *info);
void record_camera_info_clear (CameraInfo *info);
/* Once recording, reads again what the camera really uses, and warns of every setting it does not
 * use as the PROPERTY=VALUE arguments asked (an exposure against the cycle in force, where the
 * camera tells it). Returns those differences ("frame-time 0 (exposure-time asked 4e-07), ..."),
 * or NULL when it uses everything as asked. */
gchar *record_read_settings (UcaCamera *camera, const Options *options, CameraInfo *info);
/* Once recording, after record_read_settings: the maps of the corrections `info` says are
 * applied ("calibration-flatfield", "calibration-pixel-mask"); a map of another size than the
 * frames' is left out. */
void record_read_applied_maps (UcaCamera *camera, const CameraInfo *info, const FrameGeometry *geometry,
                               AppliedMaps *maps);
void record_applied_maps_clear (AppliedMaps *maps);

#endif
