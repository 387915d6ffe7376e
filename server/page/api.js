// The service's endpoints as the page calls them. Every call resolves to the
// answer's body with the server's time and the round trip, or rejects with
// an ApiError that carries the service's message.

import { browseRequest, browseUrl } from "./state.js";

export class ApiError extends Error {
  constructor(status, code, message) {
    super(message);
    this.status = status;
    this.code = code;
  }
}

// Item numbers span 64 bits: an integer that a JavaScript number cannot hold
// exactly is kept as a BigInt read from its source text.
function exactIntegers(key, value, context) {
  if (typeof value === "number" && !Number.isSafeInteger(value) && context?.source &&
      /^-?[0-9]+$/.test(context.source)) {
    return BigInt(context.source);
  }
  return value;
}

// The handler's time in milliseconds from a Server-Timing header, or null.
export function serverMilliseconds(header) {
  const match = /(?:^|[;,\s])dur=([0-9.]+)/.exec(header ?? "");
  return match ? Number(match[1]) : null;
}

async function call(url, options) {
  const start = performance.now();
  let response;
  let text;
  try {
    response = await fetch(url, { cache: "no-store", ...options });
    text = await response.text();
  } catch (error) {
    throw new ApiError(0, "unreachable", `The server cannot be reached (${error.message}).`);
  }
  const roundTrip = performance.now() - start;
  let body = null;
  try {
    body = JSON.parse(text, exactIntegers);
  } catch {
    // Reported below: every answer of the service is JSON.
  }
  if (!response.ok) {
    throw new ApiError(response.status, body?.error ?? "http_error",
                       body?.message ?? `The server answered HTTP ${response.status}.`);
  }
  if (body === null) {
    throw new ApiError(response.status, "bad_answer", "The server's answer is not JSON.");
  }
  return { body, server: serverMilliseconds(response.headers.get("Server-Timing")), roundTrip };
}

// The data sets, {dataSets: [{path, bytes, items}], truncated}; truncated
// when the server stopped listing at its bound.
export async function listDataSets() {
  const { body } = await call("/v1/datasets");
  return { dataSets: body.datasets, truncated: body.truncated === true };
}

// The page of `state`: {items, total, server, roundTrip}.
export async function browsePage(state) {
  const answer = await call(browseUrl(state), {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify(browseRequest(state)),
  });
  const result = (queryId) => answer.body.find((response) => response.result?.queryId === queryId);
  const page = result("page");
  const total = result("total")?.result.aggregates?.[0]?.count;
  if (!page || total === undefined) {
    throw new ApiError(200, "bad_answer", "The server's answer lacks the page or the count.");
  }
  return {
    items: page.result.items ?? [],
    total,
    server: answer.server,
    roundTrip: answer.roundTrip,
  };
}
