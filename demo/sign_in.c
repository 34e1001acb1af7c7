// kestreye-demo: a GTK3 sign-in pane that the demo script and the end-to-end
// tests scan. Its layout is fixed (window position, size, widget order) so
// that scans of it are repeatable.
//
//   kestreye-demo [--focus=NAME] [--print-window-id] [--trace]
//                 [--stall=MS] [--buttons=N] [--rows=N] [--windows=N]
//                 [--notes-bytes=N]
//
// --focus=NAME       widget that holds the focus at start (default: email);
//                    one of email, password, region, remember, notes,
//                    sign-in, cancel, help; with --rows, rows (the tree)
// --print-window-id  print "window 0xXID" once the window is on screen
//                    ("window none" on Wayland)
// --trace            also print one line per focus ("focus NAME" when GTK
//                    moves it, "a11y-focus NAME" once the accessibility layer
//                    shows it), text, caret or highlighted
//                    menu item change, so a driver can wait for typed keys to
//                    land instead of sleeping. A password's text is never
//                    printed, only its length.
// --stall=MS         a slow application: every 5 ms the main loop blocks for
//                    MS milliseconds, so each request waits up to MS ms
// --buttons=N        a large window: N more buttons beside the pane
// --rows=N           a large window: a tree view of N rows beside the pane
// --windows=N        N more top-level windows, listed before the pane's own
// --notes-bytes=N    a large text: N bytes of lines in the notes, the caret
//                    on the second line

#include <atk/atk.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { WINDOW_X = 40, WINDOW_Y = 40, WINDOW_W = 460, WINDOW_H = 440 };

typedef struct {
  const char* name;
  GtkWidget* widget;
} NamedWidget;

static NamedWidget named[12];
static size_t namedCount;
static gboolean trace;
static gboolean printWindowId;
static const char* focusName = "email";
static int stallMs;
static int extraButtons;
static int extraRows;
static int extraWindows;
static long notesBytes;

static void name(const char* widgetName, GtkWidget* widget) {
  named[namedCount].name = widgetName;
  named[namedCount].widget = widget;
  namedCount++;
}

static gboolean onFocusIn(GtkWidget* widget, GdkEvent* event, gpointer data) {
  (void)widget;
  (void)event;
  printf("focus %s\n", (const char*)data);
  return FALSE;
}

// The accessibility layer shows the focus later than GTK moves it: GTK
// hands it over from an idle callback, which a busy main loop (a long tree
// view being measured) holds back for seconds.
static void onAccessibleState(AtkObject* accessible, const gchar* state,
                              gboolean value, gpointer data) {
  if (!value || strcmp(state, "focused") != 0) return;
  // GTK announces the focus before the window is active too, when the
  // state set does not hold it yet.
  AtkStateSet* states = atk_object_ref_state_set(accessible);
  const gboolean shown =
      atk_state_set_contains_state(states, ATK_STATE_FOCUSED);
  g_object_unref(states);
  if (shown) printf("a11y-focus %s\n", (const char*)data);
}

// A tree's focused cell, not the tree, holds the focus for the
// accessibility layer; the tree announces it as its active descendant.
static void onActiveDescendant(AtkObject* tree, gpointer child, gpointer data) {
  (void)tree;
  (void)data;
  AtkStateSet* states = atk_object_ref_state_set(ATK_OBJECT(child));
  if (atk_state_set_contains_state(states, ATK_STATE_FOCUSED)) {
    printf("a11y-focus rows\n");
  }
  g_object_unref(states);
}

// The caret and selection bound of an entry, as GTK counts them (characters).
static void reportEntry(GtkEntry* entry, const char* widgetName) {
  gint caret = 0;
  gint bound = 0;
  g_object_get(entry, "cursor-position", &caret, "selection-bound", &bound,
               NULL);
  printf("entry %s length=%u caret=%d bound=%d\n", widgetName,
         gtk_entry_get_text_length(entry), caret, bound);
}

static void onEntryChanged(GObject* entry, GParamSpec* spec, gpointer data) {
  (void)spec;
  reportEntry(GTK_ENTRY(entry), data);
}

static void reportBuffer(GtkTextBuffer* buffer) {
  GtkTextIter caret;
  GtkTextIter bound;
  gtk_text_buffer_get_iter_at_mark(buffer, &caret,
                                   gtk_text_buffer_get_insert(buffer));
  gtk_text_buffer_get_iter_at_mark(buffer, &bound,
                                   gtk_text_buffer_get_selection_bound(buffer));
  printf("text notes length=%d caret=%d bound=%d\n",
         gtk_text_buffer_get_char_count(buffer),
         gtk_text_iter_get_offset(&caret), gtk_text_iter_get_offset(&bound));
}

static void onBufferChanged(GtkTextBuffer* buffer, gpointer data) {
  (void)data;
  reportBuffer(buffer);
}

static void onMarkSet(GtkTextBuffer* buffer, GtkTextIter* where,
                      GtkTextMark* mark, gpointer data) {
  (void)where;
  (void)data;
  if (mark == gtk_text_buffer_get_insert(buffer) ||
      mark == gtk_text_buffer_get_selection_bound(buffer)) {
    reportBuffer(buffer);
  }
}

static void onActive(GObject* window, GParamSpec* spec, gpointer data) {
  (void)spec;
  (void)data;
  printf("active %d\n", gtk_window_is_active(GTK_WINDOW(window)) ? 1 : 0);
}

// Any menu item, the region pop-up's included: those are made by the combo
// box, so a hook on the signal reaches them where a handler could not.
static gboolean onMenuItemSelected(GSignalInvocationHint* hint, guint count,
                                   const GValue* values, gpointer data) {
  (void)hint;
  (void)count;
  (void)data;
  GtkWidget* item = GTK_WIDGET(g_value_get_object(&values[0]));
  printf("menu-item %s\n",
         atk_object_get_name(gtk_widget_get_accessible(item)));
  return TRUE;
}

static gboolean onMapped(GtkWidget* window, GdkEvent* event, gpointer data) {
  (void)event;
  (void)data;
  // A native Wayland window has no id that a driver could use.
  GdkWindow* shown = gtk_widget_get_window(window);
  if (GDK_IS_X11_WINDOW(shown)) {
    printf("window 0x%lx\n", (unsigned long)gdk_x11_window_get_xid(shown));
  } else {
    printf("window none\n");
  }
  return FALSE;
}

// A combo box hands the focus to a button inside boxes of its own.
static void watchInner(GtkWidget* inner, gpointer widgetName) {
  g_signal_connect(inner, "focus-in-event", G_CALLBACK(onFocusIn), widgetName);
  g_signal_connect(gtk_widget_get_accessible(inner), "state-change",
                   G_CALLBACK(onAccessibleState), widgetName);
  if (GTK_IS_CONTAINER(inner)) {
    gtk_container_forall(GTK_CONTAINER(inner), watchInner, widgetName);
  }
}

static void watch(GtkWidget* widget, const char* widgetName) {
  g_signal_connect(widget, "focus-in-event", G_CALLBACK(onFocusIn),
                   (gpointer)widgetName);
  g_signal_connect(gtk_widget_get_accessible(widget), "state-change",
                   G_CALLBACK(onAccessibleState), (gpointer)widgetName);
  if (GTK_IS_COMBO_BOX(widget)) {
    gtk_container_forall(GTK_CONTAINER(widget), watchInner,
                         (gpointer)widgetName);
  }
  if (GTK_IS_ENTRY(widget)) {
    g_signal_connect(widget, "notify::text", G_CALLBACK(onEntryChanged),
                     (gpointer)widgetName);
    g_signal_connect(widget, "notify::cursor-position",
                     G_CALLBACK(onEntryChanged), (gpointer)widgetName);
    g_signal_connect(widget, "notify::selection-bound",
                     G_CALLBACK(onEntryChanged), (gpointer)widgetName);
  } else if (GTK_IS_TEXT_VIEW(widget)) {
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget));
    g_signal_connect(buffer, "changed", G_CALLBACK(onBufferChanged), NULL);
    g_signal_connect(buffer, "mark-set", G_CALLBACK(onMarkSet), NULL);
  }
}

// A label in the left column, bound to its field through the mnemonic, which
// is what gives the field its LABELLED_BY relation.
// The field goes in the right column inside `box` (itself, or a scroller
// around it); the label is attached after it, so it reads first (see below).
static void addRow(GtkGrid* grid, int row, const char* mnemonic,
                   GtkWidget* field, GtkWidget* box) {
  gtk_widget_set_hexpand(box, TRUE);
  gtk_grid_attach(grid, box, 1, row, 1, 1);
  GtkWidget* label = gtk_label_new_with_mnemonic(mnemonic);
  gtk_label_set_mnemonic_widget(GTK_LABEL(label), field);
  gtk_widget_set_halign(label, GTK_ALIGN_END);
  gtk_widget_set_valign(label, GTK_ALIGN_START);
  gtk_widget_set_margin_top(label, 6);
  gtk_grid_attach(grid, label, 0, row, 1, 1);
}

static void fillNotes(GtkTextView* notes) {
  static const char line[] = "The quick brown fox jumps over the lazy dog.\n";
  GString* text = g_string_sized_new((gsize)notesBytes + sizeof line);
  while ((long)text->len + (long)sizeof line - 1 <= notesBytes) {
    g_string_append(text, line);
  }
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(notes);
  gtk_text_buffer_set_text(buffer, text->str, (gint)text->len);
  g_string_free(text, TRUE);
  GtkTextIter caret;
  gtk_text_buffer_get_iter_at_line_offset(buffer, &caret, 1, 4);
  gtk_text_buffer_place_cursor(buffer, &caret);
}

static GtkWidget* buildPane(void) {
  GtkWidget* pane = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
  gtk_container_set_border_width(GTK_CONTAINER(pane), 20);

  GtkWidget* heading = gtk_label_new(NULL);
  gtk_label_set_markup(
      GTK_LABEL(heading),
      "<span size='x-large' weight='bold'>Welcome back</span>");
  gtk_widget_set_halign(heading, GTK_ALIGN_START);
  atk_object_set_role(gtk_widget_get_accessible(heading), ATK_ROLE_HEADING);
  gtk_box_pack_start(GTK_BOX(pane), heading, FALSE, FALSE, 0);

  GtkWidget* intro = gtk_label_new("Sign in to your Kestrel account.");
  gtk_widget_set_halign(intro, GTK_ALIGN_START);
  gtk_box_pack_start(GTK_BOX(pane), intro, FALSE, FALSE, 0);

  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), 8);
  gtk_grid_set_column_spacing(GTK_GRID(grid), 10);
  // An accessible name on the group, as a toolkit's titled group would have.
  atk_object_set_name(gtk_widget_get_accessible(grid), "Sign in");

  GtkWidget* email = gtk_entry_new();
  gtk_entry_set_placeholder_text(GTK_ENTRY(email), "name@example.com");
  gtk_entry_set_input_purpose(GTK_ENTRY(email), GTK_INPUT_PURPOSE_EMAIL);

  GtkWidget* password = gtk_entry_new();
  gtk_entry_set_visibility(GTK_ENTRY(password), FALSE);
  gtk_entry_set_input_purpose(GTK_ENTRY(password), GTK_INPUT_PURPOSE_PASSWORD);

  GtkWidget* region = gtk_combo_box_text_new();
  gtk_combo_box_text_append(GTK_COMBO_BOX_TEXT(region), "europe", "Europe");
  gtk_combo_box_text_append(GTK_COMBO_BOX_TEXT(region), "americas", "Americas");
  gtk_combo_box_text_append(GTK_COMBO_BOX_TEXT(region), "asia", "Asia Pacific");
  gtk_combo_box_set_active_id(GTK_COMBO_BOX(region), "europe");

  GtkWidget* remember = gtk_check_button_new_with_mnemonic("Re_member me");
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(remember), TRUE);

  GtkWidget* notes = gtk_text_view_new();
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(notes), GTK_WRAP_WORD_CHAR);
  GtkWidget* scroller = gtk_scrolled_window_new(NULL, NULL);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller),
                                      GTK_SHADOW_IN);
  gtk_widget_set_size_request(scroller, -1, 80);
  gtk_container_add(GTK_CONTAINER(scroller), notes);
  if (notesBytes > 0) fillNotes(GTK_TEXT_VIEW(notes));

  // GtkGrid hands its children to the accessibility tree last-attached first,
  // so the rows are attached bottom-up to be read top-down.
  addRow(GTK_GRID(grid), 4, "_Notes:", notes, scroller);
  gtk_grid_attach(GTK_GRID(grid), remember, 1, 3, 1, 1);
  addRow(GTK_GRID(grid), 2, "_Region:", region, region);
  addRow(GTK_GRID(grid), 1, "_Password:", password, password);
  addRow(GTK_GRID(grid), 0, "_Email:", email, email);
  gtk_box_pack_start(GTK_BOX(pane), grid, FALSE, FALSE, 0);

  GtkWidget* forgot = gtk_label_new("Forgot your password?");
  gtk_widget_set_halign(forgot, GTK_ALIGN_START);
  gtk_box_pack_start(GTK_BOX(pane), forgot, FALSE, FALSE, 0);

  GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  gtk_box_set_spacing(GTK_BOX(buttons), 8);
  GtkWidget* help = gtk_button_new_with_mnemonic("_Help");
  GtkWidget* cancel = gtk_button_new_with_mnemonic("_Cancel");
  GtkWidget* signIn = gtk_button_new_with_mnemonic("_Sign In");
  gtk_container_add(GTK_CONTAINER(buttons), help);
  gtk_container_add(GTK_CONTAINER(buttons), cancel);
  gtk_container_add(GTK_CONTAINER(buttons), signIn);
  gtk_box_pack_end(GTK_BOX(pane), buttons, FALSE, FALSE, 0);

  name("email", email);
  name("password", password);
  name("region", region);
  name("remember", remember);
  name("notes", notes);
  name("sign-in", signIn);
  name("cancel", cancel);
  name("help", help);
  return pane;
}

static gboolean stall(gpointer data) {
  (void)data;
  g_usleep((gulong)stallMs * 1000);
  return G_SOURCE_CONTINUE;
}

// What makes the window large: many buttons or a long tree view, scrolled
// beside the pane. Neither takes the focus, unless the tree ("rows") is
// asked to.
static GtkWidget* buildExtra(void) {
  GtkWidget* scroller = gtk_scrolled_window_new(NULL, NULL);
  gtk_widget_set_size_request(scroller, 300, -1);
  if (extraRows > 0) {
    GtkListStore* store = gtk_list_store_new(1, G_TYPE_STRING);
    char text[32];
    for (int i = 0; i < extraRows; i++) {
      snprintf(text, sizeof text, "Row %d", i);
      gtk_list_store_insert_with_values(store, NULL, -1, 0, text, -1);
    }
    GtkWidget* view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);
    gtk_tree_view_insert_column_with_attributes(
        GTK_TREE_VIEW(view), -1, "Item", gtk_cell_renderer_text_new(), "text",
        0, NULL);
    // The tree takes the focus only when asked to, its cursor on row 2.
    gtk_widget_set_can_focus(view, strcmp(focusName, "rows") == 0);
    GtkTreePath* cursor = gtk_tree_path_new_from_indices(2, -1);
    gtk_tree_view_set_cursor(GTK_TREE_VIEW(view), cursor, NULL, FALSE);
    gtk_tree_path_free(cursor);
    name("rows", view);
    gtk_container_add(GTK_CONTAINER(scroller), view);
  } else {
    GtkWidget* grid = gtk_grid_new();
    char label[32];
    for (int i = 0; i < extraButtons; i++) {
      snprintf(label, sizeof label, "Item %d", i);
      GtkWidget* button = gtk_button_new_with_label(label);
      gtk_widget_set_can_focus(button, FALSE);
      gtk_grid_attach(GTK_GRID(grid), button, i % 4, i / 4, 1, 1);
    }
    gtk_container_add(GTK_CONTAINER(scroller), grid);
  }
  return scroller;
}

static GtkWidget* findNamed(const char* widgetName) {
  for (size_t i = 0; i < namedCount; i++) {
    if (strcmp(named[i].name, widgetName) == 0) return named[i].widget;
  }
  return NULL;
}

int main(int argc, char** argv) {
  // gtk_init takes its own options out of argv first.
  gtk_init(&argc, &argv);
  for (int i = 1; i < argc; i++) {
    if (strncmp(argv[i], "--focus=", 8) == 0) {
      focusName = argv[i] + 8;
    } else if (strcmp(argv[i], "--print-window-id") == 0) {
      printWindowId = TRUE;
    } else if (strcmp(argv[i], "--trace") == 0) {
      printWindowId = TRUE;
      trace = TRUE;
    } else if (strncmp(argv[i], "--stall=", 8) == 0) {
      stallMs = atoi(argv[i] + 8);
    } else if (strncmp(argv[i], "--buttons=", 10) == 0) {
      extraButtons = atoi(argv[i] + 10);
    } else if (strncmp(argv[i], "--rows=", 7) == 0) {
      extraRows = atoi(argv[i] + 7);
    } else if (strncmp(argv[i], "--windows=", 10) == 0) {
      extraWindows = atoi(argv[i] + 10);
    } else if (strncmp(argv[i], "--notes-bytes=", 14) == 0) {
      notesBytes = atol(argv[i] + 14);
    } else {
      fprintf(stderr,
              "usage: kestreye-demo [--focus=NAME] [--print-window-id] "
              "[--trace] [--stall=MS] [--buttons=N] [--rows=N] "
              "[--windows=N] [--notes-bytes=N]\n");
      return 2;
    }
  }
  // A driver reads these lines while the application runs.
  setvbuf(stdout, NULL, _IOLBF, 0);
  g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE,
               "gtk-cursor-blink", FALSE, NULL);

  // Made first, so that the application lists them before the pane's window.
  for (int i = 0; i < extraWindows; i++) {
    char title[32];
    snprintf(title, sizeof title, "Extra %d", i);
    GtkWidget* extra = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(extra), title);
    gtk_window_set_default_size(GTK_WINDOW(extra), 120, 40);
    gtk_window_move(GTK_WINDOW(extra), WINDOW_X + WINDOW_W + 20 + (i % 8) * 10,
                    WINDOW_Y + (i / 8) * 10);
    gtk_container_add(GTK_CONTAINER(extra), gtk_label_new(title));
    gtk_widget_show_all(extra);
  }

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Kestrel Mail");
  const gboolean large = extraButtons > 0 || extraRows > 0;
  gtk_window_set_default_size(GTK_WINDOW(window), WINDOW_W + (large ? 300 : 0),
                              WINDOW_H);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_move(GTK_WINDOW(window), WINDOW_X, WINDOW_Y);
  if (large) {
    GtkWidget* columns = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_box_pack_start(GTK_BOX(columns), buildPane(), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(columns), buildExtra(), TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(window), columns);
  } else {
    gtk_container_add(GTK_CONTAINER(window), buildPane());
  }
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);

  GtkWidget* focus = findNamed(focusName);
  if (focus == NULL) {
    fprintf(stderr, "kestreye-demo: no widget named %s\n", focusName);
    return 2;
  }
  if (printWindowId)
    g_signal_connect(window, "map-event", G_CALLBACK(onMapped), NULL);
  if (trace) {
    for (size_t i = 0; i < namedCount; i++)
      watch(named[i].widget, named[i].name);
    g_signal_connect(window, "notify::is-active", G_CALLBACK(onActive), NULL);
    GtkWidget* rows = findNamed("rows");
    if (rows != NULL) {
      g_signal_connect(gtk_widget_get_accessible(rows),
                       "active-descendant-changed",
                       G_CALLBACK(onActiveDescendant), NULL);
    }
    g_signal_add_emission_hook(g_signal_lookup("select", GTK_TYPE_MENU_ITEM), 0,
                               onMenuItemSelected, NULL, NULL);
  }
  gtk_widget_show_all(window);
  // After show: a combo box hands the focus to its inner button only then.
  gtk_widget_grab_focus(focus);
  // Below the idle priority, where GTK and the accessibility bridge update
  // the focus and the states: the application is slow, not broken.
  if (stallMs > 0) g_timeout_add_full(G_PRIORITY_LOW, 5, stall, NULL, NULL);
  gtk_main();
  return 0;
}
