# Sourced by the script tests. `needs PACKAGES TOOL...` ends the test as
# skipped (status 77) when a tool is missing, or as failed where
# QUILLPASS_REQUIRE_TOOLS is set, as it is in CI.
needs() {
    needs_packages=$1
    shift
    for needs_tool in "$@"; do
        command -v "$needs_tool" >/dev/null && continue
        echo "$(basename "$0"): $needs_tool is not installed (apt-get install $needs_packages)"
        [ -n "${QUILLPASS_REQUIRE_TOOLS:-}" ] && exit 1
        exit 77
    done
}
