/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The buffered mode of UcaCamera: a ring of frames that a read thread fills from the
 * camera's grab slot, and from which uca_camera_grab() takes them. */

#include "uca-camera-private.h"

#include <string.h>

void
uca_ring_init (UcaRing *ring)
{
    pthread_mutex_init (&ring->lock, NULL);
    pthread_cond_init (&ring->changed, NULL);
    ring->blocks = NULL;
    ring->error = NULL;
}

void
uca_ring_destroy (UcaRing *ring)
{
    g_free (ring->blocks);
    g_clear_error (&ring->error);
    pthread_cond_destroy (&ring->changed);
    pthread_mutex_destroy (&ring->lock);
}

static guint
ring_n_blocks (const UcaRing *ring)
{
    return ring->n_frames + 1;
}

static gboolean
ring_allocate (UcaRing *ring, guint n_frames, gsize frame_size)
{
    const guint64 n_blocks = (guint64) n_frames + 1;
    guint8 *blocks;

    if (n_frames == 0 || n_frames == G_MAXUINT || frame_size == 0 || frame_size > G_MAXSIZE / n_blocks)
        return FALSE;

    blocks = g_try_malloc (frame_size * n_blocks);

    if (blocks == NULL)
        return FALSE;

    pthread_mutex_lock (&ring->lock);
    ring->blocks = blocks;
    ring->frame_size = frame_size;
    ring->n_frames = n_frames;
    ring->head = 0;
    ring->count = 0;
    ring->dropped = 0;
    ring->cancelled = FALSE;
    ring->ended = FALSE;
    g_clear_error (&ring->error);
    pthread_mutex_unlock (&ring->lock);
    return TRUE;
}

void
uca_ring_release (UcaRing *ring)
{
    pthread_mutex_lock (&ring->lock);
    g_clear_pointer (&ring->blocks, g_free);
    ring->count = 0;
    ring->ended = TRUE;
    g_clear_error (&ring->error);
    pthread_cond_broadcast (&ring->changed);
    pthread_mutex_unlock (&ring->lock);
}

/* Read thread: the block to fill next, or NULL once the recording is cancelled. */
static guint8 *
ring_reserve (UcaRing *ring)
{
    guint8 *block = NULL;

    pthread_mutex_lock (&ring->lock);

    if (!ring->cancelled)
        block = ring->blocks + ((ring->head + ring->count) % ring_n_blocks (ring)) * ring->frame_size;

    pthread_mutex_unlock (&ring->lock);
    return block;
}

/* Callers count dropped frames through the debug message; each carries the total. */
static void
ring_commit (UcaRing *ring)
{
    guint dropped = 0;

    pthread_mutex_lock (&ring->lock);

    if (ring->count < ring->n_frames)
        ring->count++;
    else {
        ring->head = (ring->head + 1) % ring_n_blocks (ring);
        dropped = ++ring->dropped;
    }

    pthread_cond_broadcast (&ring->changed);
    pthread_mutex_unlock (&ring->lock);

    /* Outside the lock: a slow log writer must not hold up readers. */
    if (dropped > 0)
        g_debug ("Ring buffer full: dropped the oldest unread frame (%u dropped since recording started)", dropped);
}

static void
ring_end (UcaRing *ring, GError *error)
{
    pthread_mutex_lock (&ring->lock);
    ring->ended = TRUE;
    ring->error = error;
    pthread_cond_broadcast (&ring->changed);
    pthread_mutex_unlock (&ring->lock);
}

void
uca_ring_cancel (UcaRing *ring)
{
    pthread_mutex_lock (&ring->lock);
    ring->cancelled = TRUE;
    pthread_mutex_unlock (&ring->lock);
}

/* Waits for the oldest frame and copies it to data. Frames already buffered are handed
 * over before a failure of the read thread is reported. */
gboolean
uca_ring_take (UcaRing *ring, gpointer data, GError **error)
{
    gboolean taken = FALSE;

    pthread_mutex_lock (&ring->lock);

    while (ring->blocks != NULL && ring->count == 0 && !ring->ended)
        pthread_cond_wait (&ring->changed, &ring->lock);

    if (ring->count > 0) {
        memcpy (data, ring->blocks + ring->head * ring->frame_size, ring->frame_size);
        ring->head = (ring->head + 1) % ring_n_blocks (ring);
        ring->count--;
        taken = TRUE;
    }
    else if (ring->error != NULL)
        g_propagate_error (error, g_error_copy (ring->error));
    else
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_END_OF_STREAM, "Ring buffer is empty");

    pthread_mutex_unlock (&ring->lock);
    return taken;
}

static gpointer
buffer_thread (gpointer data)
{
    UcaCamera *camera = data;
    UcaCameraClass *klass = UCA_CAMERA_GET_CLASS (camera);
    UcaRing *ring = &camera->priv->ring;
    guint8 *block;

    while ((block = ring_reserve (ring)) != NULL) {
        GError *error = NULL;

        if (!klass->grab (camera, block, &error)) {
            ring_end (ring, error);
            return NULL;
        }

        ring_commit (ring);
    }

    ring_end (ring, NULL);
    return NULL;
}

static gsize
frame_size_of (UcaCamera *camera)
{
    guint width = 0;
    guint height = 0;
    guint bitdepth = 0;

    g_object_get (camera, "roi-width", &width, "roi-height", &height, "sensor-bitdepth", &bitdepth, NULL);

    if (height != 0 && width > G_MAXSIZE / 2 / height)
        return 0;

    return (gsize) width * height * (bitdepth <= 8 ? 1 : 2);
}

/* Client thread, once the slot has started recording: a ring of num-buffers frames of the
 * current ROI. */
gboolean
uca_camera_prepare_buffering (UcaCamera *camera, GError **error)
{
    UcaCameraPrivate *priv = camera->priv;

    if (!ring_allocate (&priv->ring, priv->num_buffers, frame_size_of (camera))) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE, "Cannot allocate a ring buffer of %u frames",
                     priv->num_buffers);
        return FALSE;
    }

    return TRUE;
}

/* The thread fills the ring until uca_ring_cancel(); stopping the recording joins it. */
GThread *
uca_camera_start_read_thread (UcaCamera *camera)
{
    return g_thread_new ("uca-ring", buffer_thread, camera);
}
