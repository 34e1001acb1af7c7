import { ClassicEditor, Essentials, Paragraph } from "ckeditor5";
import "ckeditor5/ckeditor5.css";
import { watch } from "./watch.js";

// The editor puts its own element beside the one it is made on: on one
// inside the page's editor box, where the page looks for the focus.
const host = document.getElementById("editor").appendChild(document.createElement("div"));
ClassicEditor.create(host, {
  licenseKey: "GPL", plugins: [Essentials, Paragraph], toolbar: [], label: "Message",
}).then((editor) => {
  watch("CKEditor", () => {
    const lines = Array.from(editor.model.document.getRoot().getChildren(), (block) =>
      Array.from(block.getChildren(), (node) => node.data ?? "").join(""));
    const [block, offset] = editor.model.document.selection.getFirstPosition().path;
    return { text: lines.join("\n"),
             caret: lines.slice(0, block).reduce((sum, line) => sum + line.length + 1, 0) + offset };
  });
  editor.editing.view.focus();
});
