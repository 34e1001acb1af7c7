import { registerHistory, createEmptyHistoryState } from "@lexical/history";
import { registerRichText } from "@lexical/rich-text";
import { $getRoot, $getSelection, $isRangeSelection, createEditor } from "lexical";
import { watch } from "./watch.js";

// The editable element as Lexical's React ContentEditable makes it: a
// textbox without aria-multiline.
const root = document.getElementById("editor").appendChild(document.createElement("div"));
Object.assign(root, { contentEditable: "true", role: "textbox", ariaLabel: "Message" });
root.style.minHeight = "6em";
const editor = createEditor({ namespace: "message", onError: (error) => { throw error; } });
editor.setRootElement(root);
registerRichText(editor);
registerHistory(editor, createEmptyHistoryState(), 300);
editor.registerUpdateListener(() => document.dispatchEvent(new Event("input")));
watch("Lexical", () => editor.getEditorState().read(() => {
  const blocks = $getRoot().getChildren();
  const lines = blocks.map((block) => block.getTextContent());
  const selection = $getSelection();
  if (!$isRangeSelection(selection)) return { text: lines.join("\n"), caret: 0 };
  const { anchor } = selection;
  const node = anchor.getNode();
  // An empty editor's caret stands in the root.
  const block = node.getTopLevelElement();
  if (block === null) return { text: lines.join("\n"), caret: 0 };
  let column = anchor.type === "text" ? anchor.offset : 0;
  for (const text of block.getAllTextNodes()) {
    if (text.is(node)) break;
    column += text.getTextContentSize();
  }
  const index = blocks.findIndex((each) => each.is(block));
  return { text: lines.join("\n"),
           caret: lines.slice(0, index).reduce((sum, line) => sum + line.length + 1, 0) + column };
}));
root.focus();
