module fwstack.example/update

go 1.19
