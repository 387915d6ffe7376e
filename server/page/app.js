// The browse page: a data set's items as a table that sorts by its headers
// and pages through the data set. The URL holds what the page shows, so a
// reload, a shared link and the browser's back and forward show the same.
// Every text from the server goes into the page as text, never as HTML.

import { ApiError, browsePage, listDataSets } from "./api.js";
import { exportUrl, pageOffsets, parseState, sortedBy, stateQuery } from "./state.js";

const $ = (id) => document.getElementById(id);
const view = {
  dataset: $("dataset"),
  message: $("message"),
  section: $("view"),
  range: $("range"),
  limit: $("limit"),
  gotoForm: $("goto"),
  gotoItem: $("goto-item"),
  csv: $("download-csv"),
  jsonl: $("download-jsonl"),
  headers: [...document.querySelectorAll("#items th[data-field]")],
  rows: document.querySelector("#items tbody"),
  timing: $("timing"),
  paging: { first: $("first"), previous: $("previous"), next: $("next"), last: $("last") },
};
const numberFormat = new Intl.NumberFormat("en");

let state = parseState(location.search);
let total = null;  // items of the data set shown, once known
let shown = 0;  // the number of the latest request; older answers are dropped
let listingFailure = null;  // why the data sets cannot be listed; it stays shown

function setStatus(status) {
  document.body.dataset.status = status;
  document.body.dataset.query = location.search;
}

function showMessage(text, isError) {
  view.message.textContent = text;
  view.message.classList.toggle("error", isError);
  view.message.setAttribute("role", isError ? "alert" : "status");
  view.message.hidden = false;
}

function errorText(error) {
  if (!(error instanceof ApiError)) return `The page failed: ${error.message}`;
  const status = error.status > 0 ? `Error ${error.status}` : "Error";
  return `${status}: ${error.message}`;
}

// Goes to `next`: a new entry in the history, then its page.
function navigate(next) {
  history.pushState(null, "", stateQuery(next));
  show(next);
}

function showSort() {
  for (const header of view.headers) {
    const position = state.fields.indexOf(header.dataset.field);
    const arrow = header.querySelector(".arrow");
    if (position < 0) {
      header.setAttribute("aria-sort", "none");
      arrow.textContent = "";
      continue;
    }
    const ascending = state.direction === "asc";
    header.setAttribute("aria-sort", ascending ? "ascending" : "descending");
    arrow.textContent = (ascending ? " ▲" : " ▼") + (state.fields.length > 1 ? position + 1 : "");
  }
}

function showControls() {
  if (view.dataset.value !== state.dataset) {
    if (![...view.dataset.options].some((option) => option.value === state.dataset)) {
      view.dataset.add(new Option(state.dataset, state.dataset));
    }
    view.dataset.value = state.dataset;
  }
  view.limit.value = String(state.limit);
  view.csv.href = exportUrl(state, "csv");
  view.jsonl.href = exportUrl(state, "jsonl");
  showSort();
  const offsets = total === null ? {} : pageOffsets(state, total);
  for (const [name, button] of Object.entries(view.paging)) {
    button.disabled = offsets[name] === undefined || offsets[name] === null;
  }
}

function cell(text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

function row(item, position) {
  const tr = document.createElement("tr");
  const number = document.createElement("th");
  number.scope = "row";
  number.className = "position";
  number.textContent = numberFormat.format(position);
  tr.append(number, cell(item.name ?? "", "name"), cell(String(item.number ?? 0), "number"),
            cell(String(item.flags?.flag ?? 0), "number"));
  return tr;
}

function showPage(page) {
  total = page.total;
  view.rows.replaceChildren(...page.items.map((item, i) => row(item, state.offset + i + 1)));
  view.gotoItem.max = String(Math.max(1, total));
  if (page.items.length === 0) {
    view.range.textContent = total === 0
      ? "The data set has no items."
      : `No items from item ${numberFormat.format(state.offset + 1)} on; ` +
          `the data set has ${numberFormat.format(total)}.`;
  } else {
    const first = numberFormat.format(state.offset + 1);
    const last = numberFormat.format(state.offset + page.items.length);
    view.range.textContent = `Items ${first}–${last} of ${numberFormat.format(total)}`;
  }
  const server = page.server === null ? "unknown" : `${page.server.toFixed(2)} ms`;
  view.timing.textContent = `Server ${server} · round trip ${page.roundTrip.toFixed(1)} ms`;
  if (listingFailure === null) {
    view.message.hidden = true;
  } else {
    showMessage(listingFailure, true);
  }
  view.section.hidden = false;
}

async function show(next) {
  state = next;
  const request = ++shown;
  if (total !== null && view.dataset.value !== state.dataset) total = null;
  showControls();
  if (!state.dataset) {
    view.section.hidden = true;
    if (listingFailure === null) {
      showMessage("Choose a data set to browse.", false);
    } else {
      showMessage(listingFailure, true);
    }
    setStatus("idle");
    return;
  }
  setStatus("loading");
  try {
    const page = await browsePage(state);
    if (request !== shown) return;
    showPage(page);
    showControls();
    setStatus("ready");
  } catch (error) {
    if (request !== shown) return;
    view.section.hidden = true;
    showMessage(errorText(error), true);
    setStatus("error");
  }
}

async function fillDataSets() {
  try {
    const { dataSets, truncated } = await listDataSets();
    for (const dataSet of dataSets) {
      if (dataSet.path === state.dataset) continue;  // added by showControls already
      view.dataset.add(new Option(dataSet.path, dataSet.path));
    }
    if (truncated) {
      // The server lists a bounded number of entries: say that the others
      // exist, and how to reach them.
      const more = new Option("More data sets, not listed: name one in the URL", "");
      more.disabled = true;
      view.dataset.add(more);
    }
    view.dataset.value = state.dataset;
  } catch (error) {
    listingFailure = `The data sets cannot be listed. ${errorText(error)}`;
    showMessage(listingFailure, true);
  }
}

function goTo(offset) {
  navigate({ ...state, offset });
}

function bind() {
  view.dataset.addEventListener("change", () => {
    total = null;
    navigate({ ...state, dataset: view.dataset.value, offset: 0 });
  });
  view.limit.addEventListener("change", () => navigate({ ...state, limit: Number(view.limit.value) }));
  for (const header of view.headers) {
    header.querySelector("button").addEventListener("click", (event) => {
      navigate(sortedBy(state, header.dataset.field, event.shiftKey));
    });
  }
  for (const [name, button] of Object.entries(view.paging)) {
    button.addEventListener("click", () => {
      const offset = pageOffsets(state, total ?? 0)[name];
      if (offset !== null && offset !== undefined) goTo(offset);
    });
  }
  view.gotoForm.addEventListener("submit", (event) => {
    event.preventDefault();
    const item = Number(view.gotoItem.value);
    if (!Number.isSafeInteger(item) || item < 1 || (total !== null && item > total)) {
      showMessage(`Go to an item from 1 to ${numberFormat.format(total ?? 1)}.`, true);
      return;
    }
    goTo(item - 1);
  });
  window.addEventListener("popstate", () => show(parseState(location.search)));
}

bind();
// The first state replaces the entry it came with, in its normal form.
history.replaceState(null, "", state.dataset ? stateQuery(state) : location.pathname);
show(state);
fillDataSets();
