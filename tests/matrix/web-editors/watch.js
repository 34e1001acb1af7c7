// What every editor page tells the test driver through its window title,
// without the accessibility tree: whether the editor has the focus, how many
// lines it holds, and the caret's line and column (UTF-16 units), from the
// editor's own model. `state()` gives the editor's text (lines joined by
// "\n") and the caret's offset in it. The title changes once the state has
// been rendered, two frames later, when the browser has also updated its
// accessibility tree.
export function watch(name, state) {
  const editor = document.getElementById("editor");
  const write = () => {
    const { text, caret } = state();
    const before = text.slice(0, caret).split("\n");
    const focus = editor.contains(document.activeElement) ? "message" : "page";
    document.title = `${name} (focus ${focus}, lines ${text.split("\n").length}, ` +
      `caret ${before.length - 1}:${before[before.length - 1].length})`;
  };
  const trace = () => requestAnimationFrame(() => requestAnimationFrame(() => setTimeout(write, 0)));
  for (const event of ["input", "keyup", "selectionchange", "focusin", "focusout"]) {
    document.addEventListener(event, trace, true);
  }
  trace();
}
