/* file-yvn: GIMP 2.10 opens and exports .yvn paintings through libyvn2psd.
 *
 * Opening gives the layers the program's PSD of the same file gives through
 * GIMP's own PSD loader: the same layers in the same order, names, offsets,
 * opacity, visibility, modes (through that loader's table of PSD keys),
 * transparency lock and pixels, and clipped layers gathered into the groups
 * that loader makes for them. The pixel lock, which that loader does not
 * read, is kept too. Layers come in at 8 bits, the bytes of the program's
 * PSD, or at 16 bits (every pixel of the document) when asked for.
 *
 * Exporting writes every layer of the image, groups flattened as the
 * program flattens a PSD's groups, through the library's writer: a
 * temporary file beside the destination replaces it once complete. */
#include <string.h>

#include <libgimp/gimp.h>
#include <libgimp/gimpui.h>
#include <yvn2psd.h>

#include "modes.h"

#define LOAD_PROC "file-yvn-load"
#define SAVE_PROC "file-yvn-save"
#define PLUG_IN_BINARY "file-yvn"
#define PLUG_IN_ROLE "gimp-file-yvn"
/* The leading bytes of a .yvn: the root chunk's marker, plain or packed
 * (then the first packed block's marker). */
#define YVN_MAGICS "0,string,\\240\\315\\352\\372,0,string,\\240\\315\\352\\375\\241\\315\\352\\375"
/* The name GIMP's PSD loader gives the group it makes for clipped layers. */
#define CLIPPING_GROUP_NAME "Group added by GIMP"
/* Rows moved between the library and GIMP at a time. */
#define BAND_ROWS 64

typedef struct {
  gint bits;     /* load: 8 or 16 */
  gint compress; /* export: 1 deflates layers */
} Values;

static Values values = {8, 1};

static void query(void);
static void run(const gchar* name, gint nparams, const GimpParam* param, gint* nreturn_vals, GimpParam** return_vals);

const GimpPlugInInfo PLUG_IN_INFO = {NULL, NULL, query, run};

MAIN()

static void query(void) {
  static const GimpParamDef load_args[] = {
      {GIMP_PDB_INT32, "run-mode", "The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }"},
      {GIMP_PDB_STRING, "filename", "The name of the file to load"},
      {GIMP_PDB_STRING, "raw-filename", "The name entered"},
      {GIMP_PDB_INT32, "bits", "Bits a channel: 8 (the program's PSD) or 16 (every pixel); 0: the last choice"},
  };
  static const GimpParamDef load_return[] = {{GIMP_PDB_IMAGE, "image", "Output image"}};
  static const GimpParamDef save_args[] = {
      {GIMP_PDB_INT32, "run-mode", "The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }"},
      {GIMP_PDB_IMAGE, "image", "Image to export"},
      {GIMP_PDB_DRAWABLE, "drawable", "Drawable to export (the whole image is exported)"},
      {GIMP_PDB_STRING, "filename", "The name of the file to export to"},
      {GIMP_PDB_STRING, "raw-filename", "The name entered"},
      {GIMP_PDB_INT32, "store", "0 deflates the layers (smaller), 1 stores them as they are (faster)"},
  };

  gimp_install_procedure(LOAD_PROC, "Loads layered paintings in the .yvn format",
                         "Opens every layer of a .yvn painting, as GIMP opens the PSD converted from it", "yvn2psd",
                         "yvn2psd developers", "2025", "Layered painting", NULL, GIMP_PLUGIN,
                         G_N_ELEMENTS(load_args), G_N_ELEMENTS(load_return), load_args, load_return);
  gimp_register_file_handler_mime(LOAD_PROC, "application/x-yvn");
  gimp_register_magic_load_handler(LOAD_PROC, "yvn", "", YVN_MAGICS);

  gimp_install_procedure(SAVE_PROC, "Exports layered paintings in the .yvn format",
                         "Exports every layer of the image; layer groups are flattened", "yvn2psd",
                         "yvn2psd developers", "2025", "Layered painting", "RGB*, GRAY*, INDEXED*", GIMP_PLUGIN,
                         G_N_ELEMENTS(save_args), 0, save_args, NULL);
  gimp_register_file_handler_mime(SAVE_PROC, "application/x-yvn");
  gimp_register_save_handler(SAVE_PROC, "yvn", "");
}

static void set_library_error(GError** error, const gchar* filename) {
  g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "%s: %s", gimp_filename_to_utf8(filename),
              yvn2psd_last_error_message());
}

/* ---------------------------------------------------------------- load */

/* Marks where GIMP's PSD loader starts (1) and ends (2) the group it
 * gathers a layer and the clipped layers above it into. */
static void clipping_groups(const int* clipping, gint n, gint* type) {
  gboolean open = FALSE;
  gint start = -1;
  for (gint i = 0; i < n; ++i) {
    if (clipping[i]) {
      if (i == 0) continue;
      if (start == -1) {
        open = TRUE;
        start = i - 1;
        type[start] = 1;
      } else if (i + 1 == n && open) {
        type[i] = 2;
        open = FALSE;
        start = -1;
      } else {
        type[i] = 0;
      }
    } else if (open) {
      type[i - 1] = 2;
      open = FALSE;
      start = -1;
    } else {
      type[i] = 0;
    }
  }
}

/* The mode and the colour spaces GIMP's PSD loader gives every layer. */
static void set_mode(gint32 layer, GimpLayerMode mode, gboolean clipping) {
  gimp_layer_set_mode(layer, mode);
  gimp_layer_set_blend_space(layer, GIMP_LAYER_COLOR_SPACE_RGB_PERCEPTUAL);
  gimp_layer_set_composite_space(layer, GIMP_LAYER_COLOR_SPACE_RGB_PERCEPTUAL);
  gimp_layer_set_composite_mode(layer, clipping ? GIMP_LAYER_COMPOSITE_CLIP_TO_BACKDROP : GIMP_LAYER_COMPOSITE_UNION);
}

static gboolean fill_layer(yvn2psd_document* doc, guint32 index, gint32 layer, const yvn2psd_layer_info* l,
                           gint bits) {
  const gint width = l->right - l->left, height = l->bottom - l->top;
  const int form = bits == 16 ? YVN2PSD_PIXEL_RGBA16 : YVN2PSD_PIXEL_RGBA8;
  const Babl* format = babl_format(bits == 16 ? "R'G'B'A u16" : "R'G'B'A u8");
  const gsize stride = (gsize)width * (bits / 2);
  const gint band = MIN(BAND_ROWS, height);
  guchar* rows = g_try_malloc(stride * band);
  if (!rows) return FALSE;
  GeglBuffer* buffer = gimp_drawable_get_buffer(layer);
  gboolean ok = TRUE;
  for (gint y = 0; y < height && ok; y += band) {
    const gint n = MIN(band, height - y);
    ok = yvn2psd_read_layer_rows(doc, index, y, n, form, rows, stride, stride * n) == YVN2PSD_OK;
    if (ok) gegl_buffer_set(buffer, GEGL_RECTANGLE(0, y, width, n), 0, format, rows, stride);
  }
  g_object_unref(buffer);
  g_free(rows);
  return ok;
}

/* A document the PSD writer writes no layer of gets, as its PSD does, one
 * layer holding the merged image. */
static gboolean add_merged_layer(yvn2psd_document* doc, gint32 image, const yvn2psd_document_info* info,
                                 gint bits) {
  const int form = bits == 16 ? YVN2PSD_PIXEL_RGBA16 : YVN2PSD_PIXEL_RGBA8;
  const gsize size = yvn2psd_buffer_size(form, info->width, info->height, 0);
  guchar* px = g_try_malloc(size);
  if (!px || yvn2psd_read_merged(doc, form, px, 0, size) != YVN2PSD_OK) {
    g_free(px);
    return FALSE;
  }
  gint32 layer = gimp_layer_new(image, "ImgIOPsd_MergedImage", info->width, info->height, GIMP_RGBA_IMAGE, 100,
                                GIMP_LAYER_MODE_NORMAL);
  set_mode(layer, GIMP_LAYER_MODE_NORMAL, FALSE);
  GeglBuffer* buffer = gimp_drawable_get_buffer(layer);
  gegl_buffer_set(buffer, GEGL_RECTANGLE(0, 0, info->width, info->height), 0,
                  babl_format(bits == 16 ? "R'G'B'A u16" : "R'G'B'A u8"), px, GEGL_AUTO_ROWSTRIDE);
  g_object_unref(buffer);
  g_free(px);
  gimp_image_insert_layer(image, layer, -1, 0);
  return TRUE;
}

static gint32 load_image(const gchar* filename, gint bits, GError** error) {
  yvn2psd_document* doc;
  yvn2psd_options options;
  yvn2psd_options_init(&options);
  options.source_format = YVN2PSD_FORMAT_YVN;
  gimp_progress_init_printf("Opening '%s'", gimp_filename_to_utf8(filename));
  if (yvn2psd_open_file(filename, &options, &doc) != YVN2PSD_OK) {
    set_library_error(error, filename);
    return -1;
  }
  yvn2psd_document_info info;
  yvn2psd_document_info_get(doc, &info);

  /* The layers the PSD holds: working layers are left out of it. */
  guint32* index = g_new(guint32, info.layer_count + 1);
  int* clipping = g_new0(int, info.layer_count + 1);
  gint* group = g_new0(gint, info.layer_count + 1);
  gint n = 0;
  for (guint32 i = 0; i < info.layer_count; ++i) {
    yvn2psd_layer_info l;
    if (yvn2psd_layer_info_get(doc, i, &l) == YVN2PSD_OK && !l.working_layer) {
      clipping[n] = l.clipping;
      index[n++] = i;
    }
  }
  clipping_groups(clipping, n, group);

  gint32 image = gimp_image_new_with_precision(info.width, info.height, GIMP_RGB,
                                               bits == 16 ? GIMP_PRECISION_U16_GAMMA : GIMP_PRECISION_U8_GAMMA);
  gimp_image_undo_disable(image);
  gimp_image_set_filename(image, filename);
  gboolean ok = TRUE;
  gint32 clip_group = -1;
  for (gint k = 0; k < n && ok; ++k) {
    yvn2psd_layer_info l;
    /* The rectangle (found by reading the layer) first: the name is valid
     * until the next call. */
    ok = yvn2psd_layer_info_get(doc, index[k], &l) == YVN2PSD_OK;
    if (!ok) break;
    const gboolean empty = l.right <= l.left || l.bottom <= l.top;
    /* An empty layer covers the canvas, as in GIMP's PSD loader. */
    const gint x = empty ? 0 : l.left, y = empty ? 0 : l.top;
    const gint width = empty ? (gint)info.width : l.right - l.left;
    const gint height = empty ? (gint)info.height : l.bottom - l.top;
    gint32 layer = gimp_layer_new(image, l.name, width, height, GIMP_RGBA_IMAGE, 100, GIMP_LAYER_MODE_NORMAL);
    if (layer == -1) {
      ok = FALSE;
      break;
    }
    set_mode(layer, yvn_gimp_mode_from_psd_key(l.psd_key), l.clipping);
    gimp_layer_set_opacity(layer, l.opacity * 100.0 / 255.0);
    gimp_layer_set_lock_alpha(layer, l.lock_transparency);
    gimp_item_set_visible(layer, l.visible);
    gimp_layer_set_offsets(layer, x, y);
    if (empty) gimp_drawable_fill(layer, GIMP_FILL_TRANSPARENT);
    else ok = fill_layer(doc, index[k], layer, &l, bits);
    if (group[k] == 1) {
      clip_group = gimp_layer_group_new(image);
      gimp_item_set_name(clip_group, CLIPPING_GROUP_NAME);
      set_mode(clip_group, GIMP_LAYER_MODE_NORMAL, FALSE);
      gimp_image_insert_layer(image, clip_group, -1, 0);
    }
    gimp_image_insert_layer(image, layer, clip_group, 0);
    if (clip_group != -1 && group[k] == 2) clip_group = -1;
    gimp_item_set_lock_content(layer, l.lock_pixels);
    gimp_progress_update((k + 1.0) / n);
  }
  if (ok && n == 0) ok = add_merged_layer(doc, image, &info, bits);
  if (!ok) set_library_error(error, filename);
  g_free(index);
  g_free(clipping);
  g_free(group);
  yvn2psd_close(doc);
  if (!ok) {
    gimp_image_delete(image);
    return -1;
  }
  gimp_image_undo_enable(image);
  gimp_progress_update(1.0);
  return image;
}

static gboolean load_dialog(void) {
  gimp_ui_init(PLUG_IN_BINARY, FALSE);
  GtkWidget* dialog = gimp_dialog_new("Open Layered Painting", PLUG_IN_ROLE, NULL, 0, gimp_standard_help_func,
                                      LOAD_PROC, "_Cancel", GTK_RESPONSE_CANCEL, "_Open", GTK_RESPONSE_OK, NULL);
  gimp_window_set_transient(GTK_WINDOW(dialog));
  GtkWidget* frame = gimp_int_radio_group_new(
      TRUE, "Precision", G_CALLBACK(gimp_radio_button_update), &values.bits, values.bits,
      "_8 bits a channel (as the PSD the program writes)", 8, NULL,
      "_16 bits a channel (every pixel of the painting)", 16, NULL, NULL);
  gtk_container_set_border_width(GTK_CONTAINER(frame), 12);
  gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), frame, TRUE, TRUE, 0);
  gtk_widget_show(frame);
  gtk_widget_show(dialog);
  const gboolean run = gimp_dialog_run(GIMP_DIALOG(dialog)) == GTK_RESPONSE_OK;
  gtk_widget_destroy(dialog);
  return run;
}

/* ---------------------------------------------------------------- export */

typedef struct {
  gint32 layer;
  gboolean visible; /* its own and every enclosing group's */
} Leaf;

/* The image's layers bottom to top, groups replaced by their layers. */
static void collect(gint count, const gint32* items, gboolean visible, GArray* out) {
  for (gint i = count - 1; i >= 0; --i) {
    const gboolean v = visible && gimp_item_get_visible(items[i]);
    if (gimp_item_is_group(items[i])) {
      gint n;
      gint32* children = gimp_item_get_children(items[i], &n);
      collect(n, children, v, out);
      g_free(children);
    } else {
      Leaf leaf = {items[i], v};
      g_array_append_val(out, leaf);
    }
  }
}

/* Multiplies the transparency of `n` RGBA pixels by an enabled layer mask's
 * values, as the program applies a PSD's user mask. */
static void apply_mask(guchar* rgba, const guchar* mask, gsize n, gboolean wide) {
  for (gsize i = 0; i < n; ++i) {
    if (wide) {
      guint16* a = (guint16*)rgba + i * 4 + 3;
      *a = (guint16)(((guint32)*a * ((const guint16*)mask)[i] + 32767) / 65535);
    } else {
      guchar* a = rgba + i * 4 + 3;
      *a = (guchar)(((guint32)*a * mask[i] + 127) / 255);
    }
  }
}

static gboolean write_layer(yvn2psd_writer* w, const Leaf* leaf, gboolean wide) {
  const gint32 id = leaf->layer;
  gint x, y;
  gimp_drawable_offsets(id, &x, &y);
  const gint width = gimp_drawable_width(id), height = gimp_drawable_height(id);
  gchar* name = gimp_item_get_name(id);
  yvn2psd_layer_info l;
  memset(&l, 0, sizeof l);
  l.name = name;
  l.left = x, l.top = y, l.right = x + width, l.bottom = y + height;
  l.opacity = (uint32_t)(gimp_layer_get_opacity(id) * 255.0 / 100.0 + 0.5);
  l.visible = leaf->visible;
  l.blend = yvn2psd_blend_from_psd_key(yvn_gimp_mode_psd_key(gimp_layer_get_mode(id)));
  l.clipping = gimp_layer_get_composite_mode(id) == GIMP_LAYER_COMPOSITE_CLIP_TO_BACKDROP;
  l.lock_transparency = gimp_layer_get_lock_alpha(id);
  l.lock_pixels = gimp_item_get_lock_content(id);
  gboolean ok = yvn2psd_writer_begin_layer(w, &l) == YVN2PSD_OK;
  g_free(name);

  const gint32 mask = gimp_layer_get_mask(id);
  const gboolean masked = mask != -1 && gimp_layer_get_apply_mask(id);
  const int form = wide ? YVN2PSD_PIXEL_RGBA16 : YVN2PSD_PIXEL_RGBA8;
  const gsize stride = (gsize)width * (wide ? 8 : 4);
  const gint band = MIN(BAND_ROWS, height);
  guchar* rows = g_try_malloc(stride * band);
  guchar* mask_rows = masked ? g_try_malloc((gsize)width * (wide ? 2 : 1) * band) : NULL;
  GeglBuffer* buffer = gimp_drawable_get_buffer(id);
  GeglBuffer* mask_buffer = masked ? gimp_drawable_get_buffer(mask) : NULL;
  const Babl* format = babl_format(wide ? "R'G'B'A u16" : "R'G'B'A u8");
  ok = ok && rows && (!masked || mask_rows);
  for (gint r = 0; r < height && ok; r += band) {
    const gint n = MIN(band, height - r);
    gegl_buffer_get(buffer, GEGL_RECTANGLE(0, r, width, n), 1.0, format, rows, stride, GEGL_ABYSS_NONE);
    if (masked) {
      gegl_buffer_get(mask_buffer, GEGL_RECTANGLE(0, r, width, n), 1.0, babl_format(wide ? "Y u16" : "Y u8"),
                      mask_rows, GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
      apply_mask(rows, mask_rows, (gsize)width * n, wide);
    }
    ok = yvn2psd_writer_write_rows(w, form, rows, stride, n) == YVN2PSD_OK;
  }
  g_object_unref(buffer);
  if (mask_buffer) g_object_unref(mask_buffer);
  g_free(rows);
  g_free(mask_rows);
  return ok && yvn2psd_writer_end_layer(w) == YVN2PSD_OK;
}

static gboolean save_image(const gchar* filename, gint32 image, gint compress, GError** error) {
  yvn2psd_options options;
  yvn2psd_options_init(&options);
  options.compress = compress ? 1 : 0;
  /* GIMP has asked before replacing a file. */
  options.overwrite = 1;
  gimp_progress_init_printf("Exporting '%s'", gimp_filename_to_utf8(filename));
  yvn2psd_writer* w;
  if (yvn2psd_writer_create_file(filename, YVN2PSD_FORMAT_YVN, gimp_image_width(image), gimp_image_height(image),
                                 &options, &w) != YVN2PSD_OK) {
    set_library_error(error, filename);
    return FALSE;
  }
  /* Layers above 8 bits keep 16. */
  const gboolean wide = gimp_image_get_precision(image) != GIMP_PRECISION_U8_GAMMA &&
                        gimp_image_get_precision(image) != GIMP_PRECISION_U8_LINEAR;
  gint count;
  gint32* layers = gimp_image_get_layers(image, &count);
  GArray* leaves = g_array_new(FALSE, FALSE, sizeof(Leaf));
  collect(count, layers, TRUE, leaves);
  g_free(layers);
  gboolean ok = TRUE;
  for (guint i = 0; i < leaves->len && ok; ++i) {
    ok = write_layer(w, &g_array_index(leaves, Leaf, i), wide);
    gimp_progress_update((i + 1.0) / (leaves->len + 1.0));
  }
  g_array_free(leaves, TRUE);
  /* A failure is returned by every later call: finish tells the first. */
  ok = yvn2psd_writer_finish(w, NULL, NULL) == YVN2PSD_OK;
  if (!ok) set_library_error(error, filename);
  yvn2psd_writer_close(w);
  gimp_progress_update(1.0);
  return ok;
}

static gboolean save_dialog(void) {
  gimp_ui_init(PLUG_IN_BINARY, FALSE);
  GtkWidget* dialog = gimp_export_dialog_new("Layered painting", PLUG_IN_BINARY, SAVE_PROC);
  GtkWidget* toggle = gtk_check_button_new_with_mnemonic("_Compress layers (smaller file)");
  gtk_container_set_border_width(GTK_CONTAINER(toggle), 12);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(toggle), values.compress);
  gtk_box_pack_start(GTK_BOX(gimp_export_dialog_get_content_area(dialog)), toggle, FALSE, FALSE, 0);
  g_signal_connect(toggle, "toggled", G_CALLBACK(gimp_toggle_button_update), &values.compress);
  gtk_widget_show(toggle);
  gtk_widget_show(dialog);
  const gboolean run = gimp_dialog_run(GIMP_DIALOG(dialog)) == GTK_RESPONSE_OK;
  gtk_widget_destroy(dialog);
  return run;
}

/* ---------------------------------------------------------------- run */

static void run(const gchar* name, gint nparams, const GimpParam* param, gint* nreturn_vals,
                GimpParam** return_vals) {
  static GimpParam ret[2];
  const GimpRunMode mode = param[0].data.d_int32;
  GimpPDBStatusType status = GIMP_PDB_SUCCESS;
  GError* error = NULL;

  gegl_init(NULL, NULL);
  *nreturn_vals = 1;
  *return_vals = ret;
  ret[0].type = GIMP_PDB_STATUS;

  if (strcmp(name, LOAD_PROC) == 0 && nparams >= 3) {
    gimp_get_data(LOAD_PROC, &values.bits);
    if (values.bits != 16) values.bits = 8;
    if (mode == GIMP_RUN_INTERACTIVE) {
      if (!load_dialog()) status = GIMP_PDB_CANCEL;
    } else if (mode == GIMP_RUN_NONINTERACTIVE && nparams >= 4 && param[3].data.d_int32 != 0) {
      if (param[3].data.d_int32 != 8 && param[3].data.d_int32 != 16) status = GIMP_PDB_CALLING_ERROR;
      else values.bits = param[3].data.d_int32;
    }
    if (status == GIMP_PDB_SUCCESS) {
      const gint32 image = load_image(param[1].data.d_string, values.bits, &error);
      if (image != -1) {
        *nreturn_vals = 2;
        ret[1].type = GIMP_PDB_IMAGE;
        ret[1].data.d_image = image;
        if (mode == GIMP_RUN_INTERACTIVE) gimp_set_data(LOAD_PROC, &values.bits, sizeof values.bits);
      } else {
        status = GIMP_PDB_EXECUTION_ERROR;
      }
    }
  } else if (strcmp(name, SAVE_PROC) == 0 && nparams >= 5) {
    gint compress = 1;
    gimp_get_data(SAVE_PROC, &compress);
    values.compress = compress != 0;
    if (mode == GIMP_RUN_INTERACTIVE) {
      if (!save_dialog()) status = GIMP_PDB_CANCEL;
    } else if (mode == GIMP_RUN_NONINTERACTIVE) {
      values.compress = !(nparams >= 6 && param[5].data.d_int32 != 0);
    }
    if (status == GIMP_PDB_SUCCESS) {
      if (save_image(param[3].data.d_string, param[1].data.d_image, values.compress, &error)) {
        if (mode == GIMP_RUN_INTERACTIVE) gimp_set_data(SAVE_PROC, &values.compress, sizeof values.compress);
      } else {
        status = GIMP_PDB_EXECUTION_ERROR;
      }
    }
  } else {
    status = GIMP_PDB_CALLING_ERROR;
  }

  if (status != GIMP_PDB_SUCCESS && error) {
    *nreturn_vals = 2;
    ret[1].type = GIMP_PDB_STRING;
    ret[1].data.d_string = error->message;
  }
  ret[0].data.d_status = status;
}
