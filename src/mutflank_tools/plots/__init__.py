"""The pictures of `mutflank plot`: reading the files it draws (`matrix_files`), the layout of
each kind of matrix (`layouts`), one sample's spectrum (`spectra`), a cohort in one heat map
(`overview`), signature exposures (`exposures`), and writing pages in the format that the
output's name asks for (`pages`)."""
