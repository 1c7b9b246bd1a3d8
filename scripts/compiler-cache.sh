# Sourced by the build scripts: compile through ccache when it is there, keyed
# on paths relative to the checkout, so a fresh clone reuses what an earlier
# build of the same sources compiled.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  CCACHE_BASEDIR=$(pwd -P)
  export CCACHE_BASEDIR CCACHE_NOHASHDIR=true
fi
