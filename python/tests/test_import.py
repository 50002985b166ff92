import dozudaz_id


def test_import_has_version():
    assert isinstance(dozudaz_id.__version__, str)
