"""The catalog: every run of a folder of recordings, with its metrics and events, in a database.

``scan`` finds recordings and reads one into rows; ``store`` is the database and its tables
(the names users write SQL against); ``index`` brings a catalog up to date with the files;
``query`` reads it, read-only; ``batch`` makes movies, clips and exports of chosen records;
``workers`` runs reading and making on a local process pool or a Ray cluster; ``page`` serves
the catalog to a browser and opens a record in the player.
"""
