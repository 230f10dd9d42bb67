# Sourced by the scripts: the one place that configures and builds each
# build, through the presets of CMakePresets.json, into a folder of the
# caller's choice. `top` is the source tree.

# quil_configure PRESET FOLDER [CMAKE ARGUMENTS...]
quil_configure() {
  local preset=$1 folder
  folder=$(realpath -m "$2")
  shift 2
  (cd "$top" && cmake --preset "$preset" -B "$folder" "$@")
}

# quil_build_host FOLDER [TARGET...]: the host build (only TARGETs when
# given: the packer, szdd, is what the Windows builds need of it).
quil_build_host() {
  local folder=$1
  shift
  quil_configure host "$folder" >/dev/null
  cmake --build "$folder" ${1:+--target "$@"}
}

# quil_build_windows PRESET FOLDER HOST_FOLDER [CMAKE ARGUMENTS...]: a
# Windows build (win32, or the x86-64 stand-in win64), packed with the host
# build's packer. The presets bring the journeys' helper programs;
# -DQUIL_TEST_HELPERS=OFF builds only what ships.
quil_build_windows() {
  local preset=$1 folder=$2 host=$3
  shift 3
  quil_configure "$preset" "$folder" -DSZDD_TOOL="$host/tools/szdd/szdd" "$@" >/dev/null
  cmake --build "$folder"
}
