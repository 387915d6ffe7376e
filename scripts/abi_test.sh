#!/usr/bin/env bash
# scripts/abi.sh on a small library: a dump of it, then the check against a
# build whose class layout changed (must fail) and against one that only adds
# a function (must pass).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ABI_LIBRARIES=Shape

cat >"$work/shape.cpp" <<'CPP'
#define API __attribute__((visibility("default")))
class API Shape {
 public:
  Shape();
  int size() const;
 private:
  void* state_;
#ifdef CHANGED_LAYOUT
  long extra_;
#endif
};
Shape::Shape() : state_(nullptr) {}
int Shape::size() const { return state_ == nullptr ? 0 : 1; }
#ifdef ADDED_FUNCTION
API int shapeCount() { return 1; }
#endif
CPP
build() {
  mkdir -p "$work/$1"
  "${CXX:-c++}" -g -O0 -shared -fPIC -fvisibility=hidden "${@:2}" -o "$work/$1/libShape.so" \
    "$work/shape.cpp"
}
build release
build changed -DCHANGED_LAYOUT
build added -DADDED_FUNCTION

"$root/scripts/abi.sh" dump "$work/release" "$work/abi" >/dev/null
"$root/scripts/abi.sh" check "$work/release" "$work/abi" >/dev/null ||
  { echo "abi_test: the release failed against its own dump" >&2; exit 1; }
status=0
"$root/scripts/abi.sh" check "$work/changed" "$work/abi" >"$work/changed.log" 2>&1 || status=$?
[[ $status == 1 ]] || { echo "abi_test: a changed layout gave status $status, not 1" >&2; cat "$work/changed.log" >&2; exit 1; }
grep -q "incompatible" "$work/changed.log" || { echo "abi_test: no incompatible report" >&2; exit 1; }
"$root/scripts/abi.sh" check "$work/added" "$work/abi" >"$work/added.log" 2>&1 ||
  { echo "abi_test: an added function failed the check" >&2; cat "$work/added.log" >&2; exit 1; }
grep -q "compatible changes" "$work/added.log" || { echo "abi_test: the added function went unreported" >&2; exit 1; }
echo "abi_test passed"
