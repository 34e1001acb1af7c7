import { baseKeymap } from "prosemirror-commands";
import { keymap } from "prosemirror-keymap";
import { schema } from "prosemirror-schema-basic";
import { EditorState } from "prosemirror-state";
import { EditorView } from "prosemirror-view";
import { watch } from "./watch.js";

// Named as tiptap names its editors: a textbox without aria-multiline.
const view = new EditorView(document.getElementById("editor"), {
  state: EditorState.create({ schema, plugins: [keymap(baseKeymap)] }),
  attributes: { role: "textbox", "aria-label": "Message" },
});
watch("ProseMirror", () => {
  const { doc, selection } = view.state;
  return { text: doc.textBetween(0, doc.content.size, "\n"),
           caret: doc.textBetween(0, selection.head, "\n").length };
});
view.focus();
