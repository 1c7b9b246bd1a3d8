// Questions asked in the page's own dialog (never window.prompt): the
// text is set as text, whatever name it quotes.

const dialog = () => document.getElementById("dialog");

// Shows `text` with `buttons` ([{label, value, primary}]); with `input`
// ({value}) a text field too. Resolves to {choice, value}; Escape gives
// choice null.
function ask(text, buttons, input) {
  const box = dialog();
  const field = document.getElementById("dialog-input");
  document.getElementById("dialog-text").textContent = text;
  field.hidden = !input;
  field.value = input ? input.value : "";
  const row = document.getElementById("dialog-buttons");
  row.replaceChildren();
  for (const button of buttons) {
    const element = document.createElement("button");
    element.textContent = button.label;
    element.value = button.value;
    if (button.primary) element.className = "primary";
    if (button.value === "cancel") element.formNoValidate = true;
    row.append(element);
  }
  return new Promise((resolve) => {
    box.addEventListener(
      "close",
      () => {
        const choice = box.returnValue && box.returnValue !== "cancel" ? box.returnValue : null;
        resolve({ choice, value: field.value });
      },
      { once: true },
    );
    box.returnValue = "";
    box.showModal();
    if (input) {
      field.focus();
      const dot = field.value.lastIndexOf(".");
      field.setSelectionRange(0, dot > 0 ? dot : field.value.length);
    } else {
      row.querySelector(".primary")?.focus();
    }
  });
}

// A name, or null when cancelled.
export async function askName(text, value, okLabel) {
  const answer = await ask(
    text,
    [
      { label: "Cancel", value: "cancel" },
      { label: okLabel, value: "ok", primary: true },
    ],
    { value },
  );
  return answer.choice === "ok" ? answer.value : null;
}

export async function confirmAction(text, okLabel) {
  const answer = await ask(text, [
    { label: "Cancel", value: "cancel" },
    { label: okLabel, value: "ok", primary: true },
  ]);
  return answer.choice === "ok";
}

// "replace", "skip", or null (cancel the rest).
export async function replaceOrSkip(name) {
  const answer = await ask(`“${name}” is already in this folder.`, [
    { label: "Cancel", value: "cancel" },
    { label: "Skip", value: "skip" },
    { label: "Replace", value: "replace", primary: true },
  ]);
  return answer.choice;
}
