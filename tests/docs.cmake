# Relative links and links to headings in README.md, CHANGELOG.md and docs/
# (docs/check_links.sh; scripts/test installs the checker).
add_test(NAME docs.links COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/docs/check_links.sh ${CMAKE_BINARY_DIR})
