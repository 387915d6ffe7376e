// What the page shows, as it lives in the URL: the data set, the sort fields
// and direction, the first item and the page size. Pure functions only.

export const FIELDS = ["ByName", "ByNumber", "ByFlag"];
export const PAGE_SIZES = [25, 100, 500];
const AGGREGATE_COUNT = 4;

// The state that a location's query string holds; what it lacks or holds
// wrongly takes the default.
export function parseState(search) {
  const query = new URLSearchParams(search);
  const fields = [];
  for (const field of (query.get("fields") ?? "").split(",")) {
    if (FIELDS.includes(field) && !fields.includes(field)) fields.push(field);
  }
  const offset = Number(query.get("offset"));
  const limit = Number(query.get("limit"));
  return {
    dataset: query.get("dataset") ?? "",
    fields,
    direction: query.get("direction") === "desc" ? "desc" : "asc",
    offset: Number.isSafeInteger(offset) && offset > 0 ? offset : 0,
    limit: PAGE_SIZES.includes(limit) ? limit : PAGE_SIZES[0],
  };
}

// The query string of `state`, as parseState reads it.
export function stateQuery(state) {
  const query = new URLSearchParams();
  query.set("dataset", state.dataset);
  query.set("fields", state.fields.join(","));
  query.set("direction", state.direction);
  query.set("offset", String(state.offset));
  query.set("limit", String(state.limit));
  return "?" + query.toString();
}

// The state after a click on the header of `field`, back at the first page.
// A click sorts by the field alone, ascending; a click on the first sort
// field flips the direction. With `add` (Shift), the field joins the sort
// fields at the end; when it is among them already, the direction flips.
export function sortedBy(state, field, add) {
  const flipped = state.direction === "asc" ? "desc" : "asc";
  let fields = [field];
  let direction = "asc";
  if (add && !state.fields.includes(field)) {
    fields = [...state.fields, field];
    direction = state.direction;
  } else if (add || state.fields[0] === field) {
    fields = state.fields;
    direction = flipped;
  }
  return { ...state, fields, direction, offset: 0 };
}

// The first item of each paging button's page, for a data set of `total`
// items; null where the button has nowhere to go.
export function pageOffsets(state, total) {
  const last = total > 0 ? Math.floor((total - 1) / state.limit) * state.limit : 0;
  const previous = Math.max(0, state.offset - state.limit);
  const next = state.offset + state.limit;
  return {
    first: state.offset > 0 ? 0 : null,
    previous: state.offset > 0 ? previous : null,
    next: next < total ? next : null,
    last: state.offset !== last ? last : null,
  };
}

// The browse request of the state's page, with the data set's item count.
export function browseRequest(state) {
  return {
    paths: [{ path: state.dataset }],
    queries: [
      {
        queryId: "page",
        parameters: {
          sort: { fields: state.fields, direction: state.direction === "desc" ? 1 : 0 },
          paging: { offset: state.offset, limit: state.limit },
        },
      },
      { queryId: "total", aggregate: { type: AGGREGATE_COUNT } },
    ],
  };
}

// The data set as the query parameter that the browse and export requests
// carry: a proxy in front of several servers picks the server by its text, so
// every request for a data set must write it alike. Slashes stay as they are,
// as a person writes "dataset=/music/2024"; the rest is percent-encoded.
export function dataSetParameter(dataset) {
  return "dataset=" + encodeURIComponent(dataset).replaceAll("%2F", "/");
}

// The browse request's URL for the state's data set.
export function browseUrl(state) {
  return "/v1/browse?" + dataSetParameter(state.dataset);
}

// The export of the whole data set in the state's order.
export function exportUrl(state, format) {
  const query = new URLSearchParams();
  query.set("fields", state.fields.join(","));
  query.set("direction", state.direction);
  query.set("format", format);
  return "/v1/export?" + dataSetParameter(state.dataset) + "&" + query.toString();
}
