import { Editor } from "@tiptap/core";
import StarterKit from "@tiptap/starter-kit";
import { watch } from "./watch.js";

const editor = new Editor({
  element: document.getElementById("editor"), extensions: [StarterKit],
  editorProps: { attributes: { "aria-label": "Message" } },
});
editor.on("transaction", () => document.dispatchEvent(new Event("input")));
watch("tiptap", () => {
  const { doc, selection } = editor.state;
  return { text: doc.textBetween(0, doc.content.size, "\n"),
           caret: doc.textBetween(0, selection.head, "\n").length };
});
editor.commands.focus();
