# Locates the header-only dependencies. None of them is kept in the
# repository: nlohmann/json comes from its Python package (a build
# requirement), and the HAT-trie headers are fetched once with pip from the
# hat-trie-python source distribution into the ignored folder .deps/, pinned
# by version and checked by SHA-256. pip is a build requirement too, so this
# works in the isolated environment of `pip install .` and `pip wheel .`.

set(ZEL_NANOBIND_INCLUDE_DIR "${nanobind_ROOT}/../include")

execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
    "import importlib.util, pathlib; found = importlib.util.find_spec('nlohmann_json'); print(pathlib.Path(found.origin).parent / 'include')"
  OUTPUT_STRIP_TRAILING_WHITESPACE
  OUTPUT_VARIABLE ZEL_NLOHMANN_JSON_INCLUDE_DIR
  RESULT_VARIABLE nlohmann_result)
if (NOT nlohmann_result EQUAL 0 OR NOT EXISTS "${ZEL_NLOHMANN_JSON_INCLUDE_DIR}/nlohmann/json.hpp")
  message(FATAL_ERROR "nlohmann/json headers not found: install the Python package nlohmann-json==3.12.0")
endif()

set(ZEL_HAT_TRIE_VERSION 0.6.0)
set(ZEL_HAT_TRIE_SHA256 bf75ca87c83246b13ae87927e4bf4a43c67aa68703233162b7fd0a2ccafeb2a2)
set(ZEL_DEPS_DIR "${CMAKE_CURRENT_SOURCE_DIR}/.deps" CACHE PATH "Folder for fetched dependencies")
set(hat_trie_root "${ZEL_DEPS_DIR}/hat-trie-python-${ZEL_HAT_TRIE_VERSION}")
set(ZEL_HAT_TRIE_INCLUDE_DIR "${hat_trie_root}/tessil-hat-trie/include")

function(zel_archive_matches archive result)
  set(matches FALSE)
  if (EXISTS "${archive}")
    file(SHA256 "${archive}" digest)
    if (digest STREQUAL ZEL_HAT_TRIE_SHA256)
      set(matches TRUE)
    endif()
  endif()
  set(${result} ${matches} PARENT_SCOPE)
endfunction()

if (NOT EXISTS "${ZEL_HAT_TRIE_INCLUDE_DIR}/tsl/htrie_map.h")
  set(archive "${ZEL_DEPS_DIR}/hat-trie-python-${ZEL_HAT_TRIE_VERSION}.tar.gz")
  zel_archive_matches("${archive}" have_archive)
  if (NOT have_archive)
    # Only this package as source: its build requirements come as wheels,
    # which pip needs to read the archive's metadata (a few seconds).
    message(STATUS "Fetching the HAT-trie headers: hat-trie-python==${ZEL_HAT_TRIE_VERSION} source distribution, with pip")
    file(REMOVE "${archive}")
    file(MAKE_DIRECTORY "${ZEL_DEPS_DIR}")
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -m pip download --no-deps --no-binary hat-trie-python
              --progress-bar off hat-trie-python==${ZEL_HAT_TRIE_VERSION} -d "${ZEL_DEPS_DIR}"
      RESULT_VARIABLE fetch_result)
    if (NOT fetch_result EQUAL 0 OR NOT EXISTS "${archive}")
      message(FATAL_ERROR "Could not fetch hat-trie-python==${ZEL_HAT_TRIE_VERSION} with ${Python_EXECUTABLE} -m pip")
    endif()
    zel_archive_matches("${archive}" have_archive)
    if (NOT have_archive)
      message(FATAL_ERROR "${archive} does not have the expected SHA-256 ${ZEL_HAT_TRIE_SHA256}")
    endif()
  endif()
  message(STATUS "Unpacking ${archive}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xzf "${archive}"
                  WORKING_DIRECTORY "${ZEL_DEPS_DIR}")
  if (NOT EXISTS "${ZEL_HAT_TRIE_INCLUDE_DIR}/tsl/htrie_map.h")
    message(FATAL_ERROR "The hat-trie-python archive holds no tsl/htrie_map.h")
  endif()
endif()
