import Quill from "quill/core";
import "quill/dist/quill.core.css";
import { watch } from "./watch.js";

const quill = new Quill("#editor");
quill.root.setAttribute("aria-label", "Message");
quill.on("editor-change", () => document.dispatchEvent(new Event("input")));
watch("Quill", () => ({
  text: quill.getText().replace(/\n$/, ""),
  caret: quill.getSelection()?.index ?? 0,
}));
quill.focus();
