# The release this tree builds, as its Debian changelog names it: the changelog's latest entry
# must be for the project's version, and its date is the release date (of the manual pages).
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^batmon \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with \"${changelog_head}\": add an entry for "
                      "version ${PROJECT_VERSION}")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_trailer REGEX "^ -- " LIMIT_COUNT 1)
if(NOT changelog_trailer MATCHES "  ([A-Z][a-z][a-z], [0-9]+ [A-Z][a-z][a-z] [0-9]+ [0-9:]+ [-+][0-9]+)$")
  message(FATAL_ERROR "packaging/changelog: no date in \"${changelog_trailer}\"")
endif()
set(BATMON_RELEASE_DATE "${CMAKE_MATCH_1}")
