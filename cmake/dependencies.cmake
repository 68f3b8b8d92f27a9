# Locates the header-only dependencies. None of them is kept in the
# repository: nlohmann/json comes from its Python package (a build
# requirement), and the HAT-trie headers are fetched once with pip from the
# hat-trie-python source distribution into the ignored folder .deps/.

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
set(ZEL_DEPS_DIR "${CMAKE_CURRENT_SOURCE_DIR}/.deps" CACHE PATH "Folder for fetched dependencies")
set(hat_trie_root "${ZEL_DEPS_DIR}/hat-trie-python-${ZEL_HAT_TRIE_VERSION}")
set(ZEL_HAT_TRIE_INCLUDE_DIR "${hat_trie_root}/tessil-hat-trie/include")

if (NOT EXISTS "${ZEL_HAT_TRIE_INCLUDE_DIR}/tsl/htrie_map.h")
  message(STATUS "Fetching the HAT-trie headers (hat-trie-python==${ZEL_HAT_TRIE_VERSION} source distribution)")
  file(MAKE_DIRECTORY "${ZEL_DEPS_DIR}")
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-binary :all: --no-deps
            hat-trie-python==${ZEL_HAT_TRIE_VERSION} -d "${ZEL_DEPS_DIR}"
    RESULT_VARIABLE fetch_result)
  set(archive "${ZEL_DEPS_DIR}/hat-trie-python-${ZEL_HAT_TRIE_VERSION}.tar.gz")
  if (NOT fetch_result EQUAL 0 OR NOT EXISTS "${archive}")
    message(FATAL_ERROR "Could not fetch hat-trie-python==${ZEL_HAT_TRIE_VERSION} with pip")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xzf "${archive}"
                  WORKING_DIRECTORY "${ZEL_DEPS_DIR}")
  if (NOT EXISTS "${ZEL_HAT_TRIE_INCLUDE_DIR}/tsl/htrie_map.h")
    message(FATAL_ERROR "The hat-trie-python archive holds no tsl/htrie_map.h")
  endif()
endif()
