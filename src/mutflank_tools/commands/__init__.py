"""One module per verb of the `mutflank` command, each owning its options (SUMMARY, EXAMPLE,
add_arguments, run); `options` holds the few options that several verbs share."""
