/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What the files of UcaCamera share: its private data, the buffered mode's ring and the base
 * properties. Part of the library only, never installed. */

#ifndef UCA_CAMERA_PRIVATE_H
#define UCA_CAMERA_PRIVATE_H

#include "uca/uca-camera.h"

#include <pthread.h>

G_BEGIN_DECLS

/* Frames of the buffered mode: n_frames readable blocks plus one that the read thread
 * fills outside the readable range, so readers (who copy under the lock) never see a
 * half-written frame and a full ring stays readable while the next frame comes in. Only
 * when that frame is committed does a full ring drop its oldest one. */
typedef struct {
    pthread_mutex_t lock;   /* guards every member below */
    pthread_cond_t changed; /* a frame was committed or the stream ended */
    guint8 *blocks;         /* n_frames + 1 blocks; NULL while no buffered recording runs */
    gsize frame_size;
    guint n_frames;     /* readable blocks at most: num-buffers */
    guint head;         /* oldest readable block */
    guint count;        /* readable blocks */
    guint dropped;      /* frames dropped unread in this recording */
    gboolean cancelled; /* set by stop, read by the read thread */
    gboolean ended;     /* the read thread will commit nothing more */
    GError *error;      /* why the read thread ended early, if it failed */
} UcaRing;

struct _UcaCameraPrivate {
    /* Written under the entry points' locks, read from any thread: atomic access. */
    gint is_recording;
    gint is_readout;
    gint cancelling_recording;
    gint stopping; /* a stop of this camera is under way */

    /* Base-held property values: client thread only. */
    gboolean transfer_async;
    gboolean buffered;
    guint num_buffers;
    UcaCameraTriggerSource trigger_source;
    UcaCameraTriggerType trigger_type;

    /* Buffered mode: started and joined by start/stop recording. */
    GThread *read_thread;
    UcaRing ring;
};

/* uca-camera-buffer.c */
G_GNUC_INTERNAL void uca_ring_init (UcaRing *ring);
G_GNUC_INTERNAL void uca_ring_destroy (UcaRing *ring);
G_GNUC_INTERNAL void uca_ring_release (UcaRing *ring);
G_GNUC_INTERNAL void uca_ring_cancel (UcaRing *ring);
G_GNUC_INTERNAL gboolean uca_ring_take (UcaRing *ring, gpointer data, GError **error);
G_GNUC_INTERNAL gboolean uca_camera_prepare_buffering (UcaCamera *camera, GError **error);
G_GNUC_INTERNAL GThread *uca_camera_start_read_thread (UcaCamera *camera);

/* uca-camera-properties.c */
G_GNUC_INTERNAL void uca_camera_install_base_properties (GObjectClass *oclass);
G_GNUC_INTERNAL void uca_camera_hold_base_units (void);
G_GNUC_INTERNAL void uca_camera_release_base_units (GObjectClass *klass);

G_END_DECLS

#endif
