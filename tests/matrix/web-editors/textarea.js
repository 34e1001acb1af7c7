import { watch } from "./watch.js";

// The plain <textarea> the editor libraries are measured against.
const area = document.createElement("textarea");
area.setAttribute("aria-label", "Message");
area.rows = 6;
area.cols = 60;
document.getElementById("editor").append(area);
watch("Textarea", () => ({ text: area.value, caret: area.selectionEnd }));
area.focus();
