/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* UcaRingBuffer: blocks of frame memory that a plug-in fills and hands out in turn. */

#include "uca/uca-ring-buffer.h"

/**
 * SECTION:uca-ring-buffer
 * @title: UcaRingBuffer
 * @short_description: A ring of equally sized memory blocks
 *
 * A writer fills the block at uca_ring_buffer_get_write_pointer() and commits it with
 * uca_ring_buffer_write_advance(); a reader takes committed blocks in order with
 * uca_ring_buffer_get_read_pointer(). Nothing stops the writer from lapping the reader,
 * and the ring takes no lock: callers on several threads serialise their calls.
 */

enum {
    PROP_0,
    PROP_BLOCK_SIZE,
    PROP_NUM_BLOCKS,
    N_PROPERTIES
};

struct _UcaRingBufferPrivate {
    guint8 *data; /* n_blocks * block_size zeroed bytes; NULL when either is 0 */
    guint64 block_size;
    guint n_blocks;
    guint64 write_index; /* blocks committed since creation or reset */
    guint64 read_index;  /* blocks read since creation or reset */
};

G_DEFINE_TYPE_WITH_PRIVATE (UcaRingBuffer, uca_ring_buffer, G_TYPE_OBJECT)

static GParamSpec *properties[N_PROPERTIES] = {
    NULL,
};

static void
reallocate (UcaRingBufferPrivate *priv)
{
    g_clear_pointer (&priv->data, g_free);

    if (priv->block_size == 0 || priv->n_blocks == 0)
        return;

    if (priv->block_size <= G_MAXSIZE)
        priv->data = g_try_malloc0_n (priv->n_blocks, (gsize) priv->block_size);

    /* Pointer getters then refuse with a critical instead of handing out a bad pointer. */
    if (priv->data == NULL)
        g_critical ("Cannot allocate %u blocks of %" G_GUINT64_FORMAT " bytes", priv->n_blocks, priv->block_size);
}

static gpointer
block_at (UcaRingBufferPrivate *priv, guint64 index)
{
    return priv->data + (index % priv->n_blocks) * priv->block_size;
}

/**
 * uca_ring_buffer_new:
 * @block_size: bytes in each block
 * @n_blocks: number of blocks
 *
 * Allocates @n_blocks zeroed blocks of @block_size bytes.
 *
 * Returns: (transfer full): a new #UcaRingBuffer
 */
UcaRingBuffer *
uca_ring_buffer_new (gsize block_size, guint n_blocks)
{
    return g_object_new (UCA_TYPE_RING_BUFFER, "block-size", (guint64) block_size, "num-blocks", n_blocks, NULL);
}

/**
 * uca_ring_buffer_reset:
 * @buffer: a #UcaRingBuffer
 *
 * Forgets every written and read block: both indices return to 0.
 */
void
uca_ring_buffer_reset (UcaRingBuffer *buffer)
{
    g_return_if_fail (UCA_IS_RING_BUFFER (buffer));

    buffer->priv->write_index = 0;
    buffer->priv->read_index = 0;
}

/**
 * uca_ring_buffer_get_block_size:
 * @buffer: a #UcaRingBuffer
 *
 * Returns: the size of one block in bytes
 */
gsize
uca_ring_buffer_get_block_size (UcaRingBuffer *buffer)
{
    g_return_val_if_fail (UCA_IS_RING_BUFFER (buffer), 0);

    return (gsize) buffer->priv->block_size;
}

/**
 * uca_ring_buffer_get_num_blocks:
 * @buffer: a #UcaRingBuffer
 *
 * Returns: the number of blocks holding written data: the blocks written since the last
 * reset, at most the number of blocks in the ring
 */
guint
uca_ring_buffer_get_num_blocks (UcaRingBuffer *buffer)
{
    g_return_val_if_fail (UCA_IS_RING_BUFFER (buffer), 0);

    return (guint) MIN (buffer->priv->write_index, (guint64) buffer->priv->n_blocks);
}

/**
 * uca_ring_buffer_available:
 * @buffer: a #UcaRingBuffer
 *
 * Returns: %TRUE if a written block has not been read yet
 */
gboolean
uca_ring_buffer_available (UcaRingBuffer *buffer)
{
    g_return_val_if_fail (UCA_IS_RING_BUFFER (buffer), FALSE);

    return buffer->priv->read_index < buffer->priv->write_index;
}

/**
 * uca_ring_buffer_get_read_pointer:
 * @buffer: a #UcaRingBuffer
 *
 * Takes the oldest unread block: the read index moves on. Call it only when
 * uca_ring_buffer_available() is %TRUE.
 *
 * Returns: (transfer none) (nullable): the block, owned by @buffer, or %NULL with a
 * critical when no block is available
 */
gpointer
uca_ring_buffer_get_read_pointer (UcaRingBuffer *buffer)
{
    gpointer block;

    g_return_val_if_fail (UCA_IS_RING_BUFFER (buffer), NULL);
    g_return_val_if_fail (uca_ring_buffer_available (buffer), NULL);
    g_return_val_if_fail (buffer->priv->data != NULL, NULL);

    block = block_at (buffer->priv, buffer->priv->read_index);
    buffer->priv->read_index++;
    return block;
}

/**
 * uca_ring_buffer_get_write_pointer:
 * @buffer: a #UcaRingBuffer
 *
 * The block the writer fills next; uca_ring_buffer_write_advance() commits it.
 *
 * Returns: (transfer none) (nullable): the block, owned by @buffer, or %NULL with a
 * critical when the ring holds no memory
 */
gpointer
uca_ring_buffer_get_write_pointer (UcaRingBuffer *buffer)
{
    g_return_val_if_fail (UCA_IS_RING_BUFFER (buffer), NULL);
    g_return_val_if_fail (buffer->priv->data != NULL, NULL);

    return block_at (buffer->priv, buffer->priv->write_index);
}

/**
 * uca_ring_buffer_get_pointer:
 * @buffer: a #UcaRingBuffer
 * @index: position counted from the oldest unread block
 *
 * Returns: (transfer none) (nullable): the block @index places after the read index,
 * owned by @buffer, or %NULL with a critical when the ring holds no memory
 */
gpointer
uca_ring_buffer_get_pointer (UcaRingBuffer *buffer, guint index)
{
    g_return_val_if_fail (UCA_IS_RING_BUFFER (buffer), NULL);
    g_return_val_if_fail (buffer->priv->data != NULL, NULL);

    return block_at (buffer->priv, buffer->priv->read_index + index);
}

/**
 * uca_ring_buffer_peek_pointer:
 * @buffer: a #UcaRingBuffer
 *
 * The same block as uca_ring_buffer_get_write_pointer(); no index moves.
 *
 * Returns: (transfer none) (nullable): the block, owned by @buffer, or %NULL with a
 * critical when the ring holds no memory
 */
gpointer
uca_ring_buffer_peek_pointer (UcaRingBuffer *buffer)
{
    g_return_val_if_fail (UCA_IS_RING_BUFFER (buffer), NULL);
    g_return_val_if_fail (buffer->priv->data != NULL, NULL);

    return block_at (buffer->priv, buffer->priv->write_index);
}

/**
 * uca_ring_buffer_write_advance:
 * @buffer: a #UcaRingBuffer
 *
 * Commits the block at the write pointer: the write index moves on.
 */
void
uca_ring_buffer_write_advance (UcaRingBuffer *buffer)
{
    g_return_if_fail (UCA_IS_RING_BUFFER (buffer));

    buffer->priv->write_index++;
}

static void
uca_ring_buffer_set_property (GObject *object, guint property_id, const GValue *value, GParamSpec *pspec)
{
    UcaRingBufferPrivate *priv = UCA_RING_BUFFER (object)->priv;

    switch (property_id) {
        case PROP_BLOCK_SIZE:
            priv->block_size = g_value_get_uint64 (value);
            reallocate (priv);
            break;
        case PROP_NUM_BLOCKS:
            priv->n_blocks = g_value_get_uint (value);
            reallocate (priv);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
            break;
    }
}

static void
uca_ring_buffer_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec)
{
    UcaRingBufferPrivate *priv = UCA_RING_BUFFER (object)->priv;

    switch (property_id) {
        case PROP_BLOCK_SIZE:
            g_value_set_uint64 (value, priv->block_size);
            break;
        case PROP_NUM_BLOCKS:
            g_value_set_uint (value, priv->n_blocks);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
            break;
    }
}

static void
uca_ring_buffer_finalize (GObject *object)
{
    g_free (UCA_RING_BUFFER (object)->priv->data);
    G_OBJECT_CLASS (uca_ring_buffer_parent_class)->finalize (object);
}

static void
uca_ring_buffer_class_init (UcaRingBufferClass *klass)
{
    GObjectClass *oclass = G_OBJECT_CLASS (klass);
    const GParamFlags flags = G_PARAM_READWRITE | G_PARAM_CONSTRUCT;

    oclass->set_property = uca_ring_buffer_set_property;
    oclass->get_property = uca_ring_buffer_get_property;
    oclass->finalize = uca_ring_buffer_finalize;

    properties[PROP_BLOCK_SIZE] = g_param_spec_uint64 ("block-size", "Block size in bytes", "Number of bytes per block",
                                                       0, G_MAXUINT64, 0, flags);
    properties[PROP_NUM_BLOCKS] = g_param_spec_uint ("num-blocks", "Number of pre-allocated blocks",
                                                     "Number of pre-allocated blocks", 0, G_MAXUINT, 0, flags);

    g_object_class_install_properties (oclass, N_PROPERTIES, properties);
}

static void
uca_ring_buffer_init (UcaRingBuffer *buffer)
{
    buffer->priv = uca_ring_buffer_get_instance_private (buffer);
}
